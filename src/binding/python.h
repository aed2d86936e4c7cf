// The one way binding code includes the Python C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
