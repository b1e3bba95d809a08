// The extension module vellix: initialisation and the module's attributes. The functions'
// argument binding lives in args.cpp, the result rendering in render.cpp.
#include "py.h"

namespace {

PyMethodDef kMethods[] = {
    {nullptr, nullptr, 0, nullptr},
};

int vellix_exec(PyObject* module) {
    return PyModule_AddStringConstant(module, "__version__", "0.1.0");
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(vellix_exec)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "vellix",
    "Vellix \xE2\x80\x94 high-performance PDF text and image extraction.",
    0,
    kMethods,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vellix(void) { return PyModuleDef_Init(&kModule); }
