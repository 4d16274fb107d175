// Date and time: TOML date-time components to datetime/date/time objects and
// back, and the fixed-offset time zone class TzInfo.
#include "datetime.hpp"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

namespace {

// The zone name: "UTC" for a zero offset, otherwise "UTC+HH:MM" / "UTC-HH:MM"
// with the hours padded to two digits (more when they need it: 32767 minutes
// is UTC+546:07).
std::string zone_name(std::int16_t minutes) {
    if (minutes == 0) {
        return "UTC";
    }
    // The magnitude as an unsigned 16-bit value, so -32768 is 32768.
    auto magnitude = static_cast<std::uint16_t>(minutes < 0 ? -static_cast<std::int32_t>(minutes) : minutes);
    unsigned hours = magnitude / 60u;
    unsigned rest = magnitude % 60u;
    char buffer[16];
    int length = std::snprintf(buffer, sizeof buffer, "UTC%c%02u:%02u", minutes < 0 ? '-' : '+', hours, rest);
    return std::string(buffer, static_cast<std::size_t>(length));
}

PyObject* unicode_from(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

std::int16_t minutes_of(PyObject* self) {
    return reinterpret_cast<TzInfoObject*>(self)->minutes;
}

// Reads the arguments of tp_new (a tuple and an optional dict) with the same
// rules and messages as the vectorcall entry points.
bool parse_tuple_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    if (nkw == 0) {
        return parse_arguments(sig, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, out);
    }
    // One positional plus one keyword argument is the most a valid call has;
    // anything larger is refused by parse_arguments before the keywords are read.
    std::vector<PyObject*> vector;
    vector.reserve(static_cast<std::size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        vector.push_back(PyTuple_GET_ITEM(args, i));
    }
    PyRef kwnames = PyRef::steal(PyTuple_New(nkw));
    if (!kwnames) {
        return false;
    }
    Py_ssize_t position = 0;
    Py_ssize_t index = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), index++, Py_NewRef(key));
        vector.push_back(value);
    }
    return parse_arguments(sig, vector.data(), nargs, kwnames.get(), out);
}

PyObject* tzinfo_alloc(PyTypeObject* type, std::int16_t minutes) {
    // The base type's creation function (datetime.tzinfo's tp_new) with no
    // arguments, asked for the requested type.
    PyDateTime_CAPI* api = datetime_api();
    if (api == nullptr) {
        return nullptr;
    }
    PyRef empty = PyRef::steal(PyTuple_New(0));
    if (!empty) {
        return nullptr;
    }
    PyObject* self = api->TZInfoType->tp_new(type, empty.get(), nullptr);
    if (self != nullptr) {
        reinterpret_cast<TzInfoObject*>(self)->minutes = minutes;
    }
    return self;
}

const char* const tzinfo_new_names[] = {"minutes"};
const Signature tzinfo_new_signature{"TzInfo.__new__()", tzinfo_new_names, 1, 1};

// TzInfo(minutes). The slots and methods that allocate C++ text (the
// argument notes, the zone name) run their bodies through guarded(), so that
// not even std::bad_alloc unwinds into the interpreter.
PyObject* tzinfo_construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* argument = nullptr;
    if (!parse_tuple_arguments(tzinfo_new_signature, args, kwargs, &argument)) {
        return nullptr;
    }
    long minutes = PyLong_AsLong(argument);
    if (minutes == -1 && PyErr_Occurred()) {
        note_parameter("minutes");
        return nullptr;
    }
    if (minutes < INT16_MIN) {
        PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
        note_parameter("minutes");
        return nullptr;
    }
    if (minutes > INT16_MAX) {
        PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
        note_parameter("minutes");
        return nullptr;
    }
    return tzinfo_alloc(type, static_cast<std::int16_t>(minutes));
}

PyObject* tzinfo_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] { return tzinfo_construct(type, args, kwargs); });
}

void tzinfo_dealloc(PyObject* self) {
    // A heap type's instance holds a reference to its type.
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* tzinfo_str(PyObject* self) {
    return guarded<PyObject*>(nullptr, [self] { return unicode_from(zone_name(minutes_of(self))); });
}

PyObject* tzinfo_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr,
                              [self] { return unicode_from("TzInfo(" + zone_name(minutes_of(self)) + ")"); });
}

PyObject* tzinfo_seconds(PyObject* self, PyObject*) {
    return PyLong_FromLong(static_cast<long>(minutes_of(self)) * 60);
}

// copy.copy and copy.deepcopy rebuild an object from its __reduce__. The
// one datetime.tzinfo provides calls the class with no arguments, which
// TzInfo refuses, so a deep copy of any document holding an offset date-time
// would fail; this one passes the offset. (Pickling still stops earlier: the
// class is not reachable as a module attribute.)
PyObject* tzinfo_reduce(PyObject* self, PyObject*) {
    return Py_BuildValue("(O(i))", reinterpret_cast<PyObject*>(Py_TYPE(self)), static_cast<int>(minutes_of(self)));
}

const char* const dt_names[] = {"dt"};
const Signature utcoffset_signature{"TzInfo.utcoffset()", dt_names, 1, 1};
const Signature fromutc_signature{"TzInfo.fromutc()", dt_names, 1, 1};

// The one argument `dt` of utcoffset and fromutc: a datetime (or an instance
// of a subclass). nullptr with a TypeError set (noted with the parameter)
// otherwise.
PyObject* datetime_argument(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* dt = nullptr;
    if (!parse_arguments(sig, args, nargs, kwnames, &dt)) {
        return nullptr;
    }
    PyDateTime_CAPI* api = datetime_api();
    if (api == nullptr) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(dt, api->DateTimeType)) {
        raise_not_instance(dt, "datetime");
        note_parameter("dt");
        return nullptr;
    }
    return dt;
}

// The offset as a timedelta, normalised (-90 minutes is days -1, seconds 81000).
PyObject* offset_timedelta(PyObject* self) {
    PyDateTime_CAPI* api = datetime_api();
    if (api == nullptr) {
        return nullptr;
    }
    return api->Delta_FromDelta(0, static_cast<int>(minutes_of(self)) * 60, 0, 1, api->DeltaType);
}

PyObject* tzinfo_utcoffset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (datetime_argument(utcoffset_signature, args, nargs, kwnames) == nullptr) {
            return nullptr;
        }
        return offset_timedelta(self);
    });
}

// datetime.astimezone() and datetime.now(tz) convert through fromutc. The
// one datetime.tzinfo provides insists on a dst() other than None, and
// TzInfo's dst() is None, so it refused every conversion into a TzInfo. This
// one does what datetime.timezone's does: the UTC time `dt` (whose tzinfo is
// this TzInfo) plus the offset.
PyObject* local_from_utc(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* dt = datetime_argument(fromutc_signature, args, nargs, kwnames);
    if (dt == nullptr) {
        return nullptr;
    }
    if (!_PyDateTime_HAS_TZINFO(dt) || PyDateTime_DATE_GET_TZINFO(dt) != self) {
        PyErr_SetString(PyExc_ValueError, "fromutc: dt.tzinfo is not self");
        return nullptr;
    }
    PyRef offset = PyRef::steal(offset_timedelta(self));
    if (!offset) {
        return nullptr;
    }
    return PyNumber_Add(dt, offset.get());
}

PyObject* tzinfo_fromutc(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] { return local_from_utc(self, args, nargs, kwnames); });
}

const char* const tzname_names[] = {"_dt"};
const Signature tzname_signature{"TzInfo.tzname()", tzname_names, 1, 1};
const Signature dst_signature{"TzInfo.dst()", tzname_names, 1, 1};

PyObject* tzinfo_tzname(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* unused = nullptr;
    if (!parse_arguments(tzname_signature, args, nargs, kwnames, &unused)) {
        return nullptr;
    }
    return tzinfo_str(self);
}

PyObject* tzinfo_dst(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* unused = nullptr;
    if (!parse_arguments(dst_signature, args, nargs, kwnames, &unused)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

template <class F>
PyCFunction as_method(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef tzinfo_methods[] = {
    {"seconds", as_method(tzinfo_seconds), METH_NOARGS, "seconds($self)\n--\n\n"},
    {"utcoffset", as_method(tzinfo_utcoffset), METH_FASTCALL | METH_KEYWORDS, "utcoffset($self, dt)\n--\n\n"},
    {"tzname", as_method(tzinfo_tzname), METH_FASTCALL | METH_KEYWORDS, "tzname($self, _dt)\n--\n\n"},
    {"dst", as_method(tzinfo_dst), METH_FASTCALL | METH_KEYWORDS, "dst($self, _dt)\n--\n\n"},
    {"fromutc", as_method(tzinfo_fromutc), METH_FASTCALL | METH_KEYWORDS, "fromutc($self, dt)\n--\n\n"},
    {"__reduce__", as_method(tzinfo_reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tzinfo_slots[] = {
    {Py_tp_doc, const_cast<char*>("TzInfo(minutes)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(tzinfo_tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tzinfo_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(tzinfo_str)},
    {Py_tp_repr, reinterpret_cast<void*>(tzinfo_repr)},
    {Py_tp_methods, tzinfo_methods},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE (not subclassable) and no Py_TPFLAGS_HAVE_GC (an
// instance holds no references); no dict or weakref slot.
PyType_Spec tzinfo_spec = {
    "vexil._vexil.TzInfo",
    static_cast<int>(sizeof(TzInfoObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    tzinfo_slots,
};

OnceCell<PyTypeObject> tzinfo_type_cell;

PyTypeObject* create_tzinfo_type() {
    PyObject* type = nullptr;
    if (PyDateTime_CAPI* api = datetime_api()) {
        type = PyType_FromSpecWithBases(&tzinfo_spec, reinterpret_cast<PyObject*>(api->TZInfoType));
    }
    if (type == nullptr) {
        PyErr_WriteUnraisable(nullptr);
        raise_internal_error("failed to create type object for `TzInfo`");
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyTypeObject* tzinfo_type() {
    return tzinfo_type_cell.get_or_init(create_tzinfo_type);
}

bool share_tzinfo_type(PyTypeObject* type) {
    Py_INCREF(type);
    if (tzinfo_type_cell.seed(type) == type) {
        return true;  // the cell keeps the new reference for the process's life
    }
    Py_DECREF(type);
    return false;
}

PyObject* tzinfo_new(std::int16_t minutes) {
    PyTypeObject* type = tzinfo_type();
    if (type == nullptr) {
        return nullptr;
    }
    return tzinfo_alloc(type, minutes);
}

bool is_tzinfo(PyObject* obj) {
    PyTypeObject* type = tzinfo_type_cell.peek();
    return type != nullptr && PyObject_TypeCheck(obj, type);
}

// --- Reading: components to Python objects -----------------------------------

PyObject* parse(const toml::DateTime& components) {
    PyDateTime_CAPI* api = datetime_api();
    if (api == nullptr) {
        return nullptr;
    }
    const toml::Date& date = components.date;
    const toml::Time& time = components.time;
    int second = time.has_second ? time.second : 0;
    // Python keeps microseconds: the fraction is truncated, not rounded.
    int microsecond = time.has_fraction ? static_cast<int>(time.nanosecond / 1000u) : 0;
    if (components.has_date && !components.has_time) {
        return api->Date_FromDate(date.year, date.month, date.day, api->DateType);
    }
    if (!components.has_date && components.has_time) {
        return api->Time_FromTime(time.hour, time.minute, second, microsecond, Py_None, api->TimeType);
    }
    if (!components.has_date) {
        raise_internal_error("internal error: entered unreachable code: either time or date (or both) are required");
        return nullptr;
    }
    PyRef tzinfo;
    if (components.offset != toml::OffsetKind::None) {
        std::int16_t minutes = components.offset == toml::OffsetKind::Utc ? 0 : components.offset_minutes;
        tzinfo = PyRef::steal(tzinfo_new(minutes));
        if (!tzinfo) {
            return nullptr;
        }
    }
    return api->DateTime_FromDateAndTime(date.year, date.month, date.day, time.hour, time.minute, second,
                                         microsecond, tzinfo ? tzinfo.get() : Py_None, api->DateTimeType);
}

// --- Writing: Python objects to components -----------------------------------

namespace {

// The method name offset_to_toml calls on a datetime with a foreign tzinfo,
// interned once for the process.
OnceCell<PyObject> utcoffset_name;

PyObject* utcoffset_str() {
    return utcoffset_name.get_or_init([] { return PyUnicode_InternFromString("utcoffset"); });
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
        minutes = minutes_of(tzinfo.get());
        // Python code can make a TzInfo of up to +-32767 minutes; written as
        // +33:20 it would be text no TOML reader accepts.
        if (minutes < -max_offset_minutes || minutes > max_offset_minutes) {
            PyErr_Format(PyExc_ValueError, "TOML offsets must be less than 24 hours, got %s",
                         zone_name(static_cast<std::int16_t>(minutes)).c_str());
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
