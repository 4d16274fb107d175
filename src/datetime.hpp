// Date and time: TOML date-times to Python objects and back, and TzInfo, the
// module's fixed-offset time zone class.
#pragma once

#include <cstdint>
#include <string>

#include "py.hpp"
#include "toml/toml.hpp"

#include <datetime.h>

namespace vexil {

// The datetime module's C API, imported on first use and kept for the life of
// the process. Returns nullptr with the Python error set if the import fails.
PyDateTime_CAPI* datetime_api();

// A TzInfo instance: the datetime.tzinfo base adds nothing to the object
// header, then the UTC offset in minutes (positive east of UTC).
struct TzInfoObject {
    PyObject_HEAD
    std::int16_t minutes;
};

// The TzInfo type, created on first use. Returns nullptr with an exception set
// if it cannot be created.
PyTypeObject* tzinfo_type();

// Makes this copy of the module code use `type` (the TzInfo type of
// _vexil) instead of creating its own. False if it already uses another.
bool share_tzinfo_type(PyTypeObject* type);

// A new TzInfo with the given offset (no range checks). nullptr with an
// exception set on failure.
PyObject* tzinfo_new(std::int16_t minutes);

// Whether `obj` is a TzInfo (or an instance of a subtype). Needs the type to
// exist already; returns false if it was never created.
bool is_tzinfo(PyObject* obj);

// The Python object for one TOML date-time value: an aware datetime with a
// new TzInfo, a naive datetime, a date or a time. nullptr with a Python
// exception set on failure (e.g. year 0, second 60).
PyObject* parse(const toml::DateTime& components);

// The components of a datetime.datetime for writing: date, time (seconds
// always, fraction only when microsecond != 0) and the offset (from a TzInfo
// directly, or from utcoffset()). Returns false with a Python exception set on
// failure.
bool datetime_to_toml(PyObject* dt, toml::DateTime* out);
// The same for datetime.date and datetime.time objects; cannot fail.
toml::DateTime date_to_toml(PyObject* date);
toml::DateTime time_to_toml(PyObject* time);

}  // namespace vexil
