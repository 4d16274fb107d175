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

namespace {

// The method name offset_to_toml calls on a datetime with a foreign tzinfo,
// interned once for the process.
OnceCell<PyObject> utcoffset_name;

PyObject* utcoffset_str() {
    return utcoffset_name.get_or_init([] { return PyUnicode_InternFromString("utcoffset"); });
}

// The zone name a TzInfo of `minutes` shows: UTC, or UTC+HH:MM / UTC-HH:MM
// (hours beyond 99 in full).
std::string zone_name(int minutes) {
    if (minutes == 0) {
        return "UTC";
    }
    unsigned magnitude = static_cast<std::uint16_t>(minutes < 0 ? -minutes : minutes);
    unsigned hours = magnitude / 60, rest = magnitude % 60;
    std::string name = minutes < 0 ? "UTC-" : "UTC+";
    if (hours < 10) {
        name += '0';
    }
    name += std::to_string(hours);
    name += ':';
    name += static_cast<char>('0' + rest / 10);
    name += static_cast<char>('0' + rest % 10);
    return name;
}

// A TOML offset is HH:MM with HH at most 23.
constexpr int max_offset_minutes = 24 * 60 - 1;

// The offset group of `dt`: none for a naive datetime, Z for a zero offset,
// else the signed minutes. A TzInfo is read directly; any other tzinfo is
// asked through the datetime's own utcoffset(). Returns false with a Python
// exception set when the offset has no TOML form.
bool offset_to_toml(PyObject* dt, toml::DateTime* out) {
    out->offset = toml::OffsetKind::None;
    out->offset_minutes = 0;
    if (!_PyDateTime_HAS_TZINFO(dt)) {
        return true;
    }
    PyRef tzinfo = PyRef::borrow(PyDateTime_DATE_GET_TZINFO(dt));
    if (tzinfo.get() == Py_None) {
        return true;
    }
    int minutes = 0;
    if (is_tzinfo(tzinfo.get())) {
        minutes = reinterpret_cast<TzInfoObject*>(tzinfo.get())->minutes;
        // Python code can make a TzInfo of up to +-32767 minutes; written as
        // +33:20 it would be text no TOML reader accepts.
        if (minutes < -max_offset_minutes || minutes > max_offset_minutes) {
            PyErr_Format(PyExc_ValueError, "TOML offsets must be less than 24 hours, got %s",
                         zone_name(minutes).c_str());
            return false;
        }
    } else {
        PyObject* name = utcoffset_str();
        if (name == nullptr) {
            return false;
        }
        PyObject* args[2] = {nullptr, dt};  // a spare slot for the vectorcall offset
        PyRef offset = PyRef::steal(
            PyObject_VectorcallMethod(name, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!offset) {
            return false;
        }
        if (offset.get() == Py_None) {
            return true;
        }
        PyDateTime_CAPI* api = datetime_api();
        if (api == nullptr) {
            return false;
        }
        if (!PyObject_TypeCheck(offset.get(), api->DeltaType)) {
            raise_not_instance(offset.get(), "timedelta");
            return false;
        }
        std::int64_t total = std::int64_t{PyDateTime_DELTA_GET_DAYS(offset.get())} * 86400 +
                             PyDateTime_DELTA_GET_SECONDS(offset.get());
        if (PyDateTime_DELTA_GET_MICROSECONDS(offset.get()) != 0 || total % 60 != 0) {
            PyErr_Format(PyExc_ValueError, "TOML offsets must be a whole number of minutes, got %S", offset.get());
            return false;
        }
        // datetime.utcoffset() itself keeps offsets within a day; checked
        // again so the minutes always fit.
        if (total / 60 < -max_offset_minutes || total / 60 > max_offset_minutes) {
            PyErr_Format(PyExc_ValueError, "TOML offsets must be less than 24 hours, got %S", offset.get());
            return false;
        }
        minutes = static_cast<int>(total / 60);
    }
    if (minutes == 0) {
        out->offset = toml::OffsetKind::Utc;
    } else {
        out->offset = toml::OffsetKind::Minutes;
        out->offset_minutes = static_cast<std::int16_t>(minutes);
    }
    return true;
}

void fill_time(toml::Time* time, int hour, int minute, int second, int microsecond) {
    time->hour = static_cast<std::uint8_t>(hour);
    time->minute = static_cast<std::uint8_t>(minute);
    time->second = static_cast<std::uint8_t>(second);
    time->has_second = true;
    time->has_fraction = microsecond != 0;
    time->nanosecond = static_cast<std::uint32_t>(microsecond) * 1000u;
}

}  // namespace

bool datetime_to_toml(PyObject* dt, toml::DateTime* out) {
    *out = toml::DateTime{};
    if (!offset_to_toml(dt, out)) {
        return false;
    }
    out->has_date = true;
    out->has_time = true;
    out->date.year = static_cast<std::uint16_t>(PyDateTime_GET_YEAR(dt));
    out->date.month = static_cast<std::uint8_t>(PyDateTime_GET_MONTH(dt));
    out->date.day = static_cast<std::uint8_t>(PyDateTime_GET_DAY(dt));
    fill_time(&out->time, PyDateTime_DATE_GET_HOUR(dt), PyDateTime_DATE_GET_MINUTE(dt),
              PyDateTime_DATE_GET_SECOND(dt), PyDateTime_DATE_GET_MICROSECOND(dt));
    return true;
}

toml::DateTime date_to_toml(PyObject* date) {
    toml::DateTime out{};
    out.has_date = true;
    out.date.year = static_cast<std::uint16_t>(PyDateTime_GET_YEAR(date));
    out.date.month = static_cast<std::uint8_t>(PyDateTime_GET_MONTH(date));
    out.date.day = static_cast<std::uint8_t>(PyDateTime_GET_DAY(date));
    return out;
}

toml::DateTime time_to_toml(PyObject* time) {
    // The tzinfo and fold of a time are not written: TOML's local time has
    // no offset.
    toml::DateTime out{};
    out.has_time = true;
    fill_time(&out.time, PyDateTime_TIME_GET_HOUR(time), PyDateTime_TIME_GET_MINUTE(time),
              PyDateTime_TIME_GET_SECOND(time), PyDateTime_TIME_GET_MICROSECOND(time));
    return out;
}

}  // namespace vexil
