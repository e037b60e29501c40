#include "binding/entry.hpp"

#include <exception>
#include <new>

#include "binding/internal_fault.hpp"
#include "binding/thread_exit.hpp"

namespace frasolet::binding {

void raise_current_exception() {
    if (is_thread_end_caught()) throw;
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
