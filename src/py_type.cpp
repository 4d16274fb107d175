// The writer's type table, built once per process.
#include "py_type.hpp"

#include "datetime.hpp"

namespace vexil {

namespace {

OnceCell<PyTypeLookup> TYPE_LOOKUP;

PyTypeLookup* build_lookup() {
    PyDateTime_CAPI* api = datetime_api();
    if (api == nullptr) {
        return nullptr;
    }
    // Lives until the process ends, like every one-time cache of the module.
    return new PyTypeLookup{
        Py_TYPE(Py_None),
        &PyLong_Type,
        &PyBool_Type,
        &PyFloat_Type,
        &PyUnicode_Type,
        &PyBytes_Type,
        &PyByteArray_Type,
        &PyList_Type,
        &PyTuple_Type,
        &PyDict_Type,
        api->DateTimeType,
        api->DateType,
        api->TimeType,
    };
}

}  // namespace

const PyTypeLookup* PyTypeLookup::cached() { return TYPE_LOOKUP.get_or_init(build_lookup); }

}  // namespace vexil
