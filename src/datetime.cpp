// Date and time: TOML date-time components to datetime/date/time objects and
// back, and the fixed-offset time zone class TzInfo.
#include "datetime.hpp"

#include <atomic>

#include "lib.hpp"

namespace vexil {

namespace {
std::atomic<PyDateTime_CAPI*> datetime_capi{nullptr};
}  // namespace

PyDateTime_CAPI* datetime_api() {
    if (PyDateTime_CAPI* api = datetime_capi.load(std::memory_order_acquire)) {
        return api;
    }
    auto* imported = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (imported == nullptr) {
        return nullptr;
    }
    // A racing second import keeps the pointer stored first.
    PyDateTime_CAPI* expected = nullptr;
    if (!datetime_capi.compare_exchange_strong(expected, imported, std::memory_order_acq_rel)) {
        return expected;
    }
    return imported;
}

// --- TzInfo -----------------------------------------------------------------

// --- Reading: components to Python objects -----------------------------------

// --- Writing: Python objects to components -----------------------------------

}  // namespace vexil
