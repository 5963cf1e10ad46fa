#pragma once
// The one place the binding layer includes the CPython API from.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
