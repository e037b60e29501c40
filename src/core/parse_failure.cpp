#include "core/parse_failure.hpp"

namespace frasolet {

std::string ParseFailure::message() const {
    switch (kind) {
        case Kind::error:
            return "Parsing Error: ()";
        case Kind::failure:
            return "Parsing Failure: ()";
        case Kind::incomplete:
            if (needed) return "Parsing requires " + std::to_string(*needed) + " bytes/chars";
            return "Parsing requires more data";
    }
    return "Parsing Error: ()";
}

}  // namespace frasolet
