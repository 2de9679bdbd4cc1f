// Module initialisation of vesk_internal.
#include <Python.h>

namespace {

PyModuleDef_Slot kSlots[] = {
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "vesk_internal", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vesk_internal() { return PyModuleDef_Init(&kModule); }
