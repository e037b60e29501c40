#include "binding/entry.hpp"

#include <exception>
#include <new>

#include "binding/internal_fault.hpp"

namespace frasolet::binding {

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (Failure& failure) {
        std::move(failure).restore();
    } catch (const InternalFault& fault) {
        raise_fault(fault);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_fault(InternalFault{error.what(), SourceLocation::current(), false});
    } catch (...) {
        raise_fault(InternalFault{"unknown native exception", SourceLocation::current(), false});
    }
}

}  // namespace frasolet::binding
