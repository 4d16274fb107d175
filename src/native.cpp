// vexil._native: module definition and exec step. The functions live in the
// feature files listed in native.hpp.
#include "native.hpp"

#include "datetime.hpp"
#include "lib.hpp"

namespace vexil::native {
namespace {

// Takes _vexil's exception classes and TzInfo type into this module's cells.
int share_with_vexil() {
    PyRef core = PyRef::steal(PyImport_ImportModule("vexil._vexil"));
    if (!core) {
        return -1;
    }
    PyRef parsing = PyRef::steal(PyObject_GetAttrString(core.get(), "TomlParsingError"));
    PyRef serialization = PyRef::steal(PyObject_GetAttrString(core.get(), "TomlSerializationError"));
    if (!parsing || !serialization) {
        return -1;
    }
    // TzInfo is no attribute of _vexil: it is met as the zone of a parsed
    // offset date-time.
    PyRef deserialize = PyRef::steal(PyObject_GetAttrString(core.get(), "deserialize"));
    if (!deserialize) {
        return -1;
    }
    PyRef sample = PyRef::steal(PyObject_CallFunction(deserialize.get(), "s", "t = 1979-05-27T00:00:00Z"));
    if (!sample) {
        return -1;
    }
    PyObject* when = PyDict_GetItemString(sample.get(), "t");  // borrowed
    PyRef zone = PyRef::steal(when == nullptr ? nullptr : PyObject_GetAttrString(when, "tzinfo"));
    if (!zone) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "vexil._native: _vexil gave no TzInfo");
        }
        return -1;
    }
    if (!share_exception_classes(parsing.get(), serialization.get()) ||
        !share_tzinfo_type(Py_TYPE(zone.get()))) {
        PyErr_SetString(PyExc_ImportError, "vexil._native: made its own classes before sharing _vexil's");
        return -1;
    }
    return 0;
}

int module_exec(PyObject*) {
    return guarded(-1, [] {
        // The caches are process-wide, as in _vexil: main interpreter only.
        if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
            PyErr_SetString(PyExc_ImportError, "module _native does not support loading in subinterpreters");
            return -1;
        }
        return share_with_vexil();
    });
}

template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef methods[] = {
    {"loads", as_cfunction(loads), METH_FASTCALL | METH_KEYWORDS,
     "loads(data, /, *, none_value=None, parse_float=None, toml_version='1.1.0')\n--\n\n"
     "Parses a TOML document given as str or as UTF-8 bytes."},
    {"dumps", as_cfunction(dumps), METH_FASTCALL | METH_KEYWORDS,
     "dumps(obj, /, *, pretty=False, none_value=None, multiline_strings=False, indent=4, sort_keys=False, "
     "default=None, as_bytes=False)\n--\n\n"
     "Writes a mapping as a TOML document, as str or as UTF-8 bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_native", "vexil's native helpers beyond _vexil: options, bytes input, editing.",
    0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vexil::native

extern "C" PyMODINIT_FUNC PyInit__native(void) {
    return PyModuleDef_Init(&vexil::native::module_def);
}
