"""The class helper's garbage-collector support, through a probe extension built
here from the helper's own header, so the module itself gains no class."""

import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[3] / "src"
COMPILER = shutil.which(sysconfig.get_config_var("CXX").split()[0] or "c++")

# Holder(item) keeps `item` in its native value. `marker` is set only once the
# value is complete and cleared when its destruction begins, so a traversal of
# an instance under construction or destruction is counted; the constructor
# collects before the value is complete, and Holder(None) then fails.
PROBE = r"""
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "binding/common/native_class.hpp"

using namespace tessaryne::binding;

namespace {
constexpr std::uint64_t kBuilt = 0x5eed'cafe'f00d'beefULL;
long unbuilt_traversals = 0;

struct Holder {
  explicit Holder(PyObject* held) : collected(PyGC_Collect()), item(PyRef::borrow(held)), marker(kBuilt) {
    if (held == Py_None) throw std::runtime_error("refused");
  }
  ~Holder() { marker = 0; }  // `item` dies after this, maybe running a collection
  int traverse(visitproc visit, void* arg) {
    if (marker != kBuilt) ++unbuilt_traversals;
    Py_VISIT(item.get());
    return 0;
  }
  PyRef clear() noexcept { return std::exchange(item, PyRef()); }

  Py_ssize_t collected;
  PyRef item;
  std::uint64_t marker;
};
static_assert(HoldsReferences<Holder>);

PyObject* holder_new(PyTypeObject* type, PyObject* args, PyObject*) {
  PyObject* held = nullptr;
  if (!PyArg_ParseTuple(args, "O", &held)) return nullptr;
  try {
    return new_native<Holder>(type, held);
  } catch (const PythonError&) {
    return nullptr;
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    return nullptr;
  }
}

PyType_Slot holder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(holder_new)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_native<Holder>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_native<Holder>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<Holder>)},
    {0, nullptr},
};
PyType_Spec holder_spec = {"gc_probe.Holder", sizeof(NativeObject<Holder>), 0, kGcClassFlags, holder_slots};

PyObject* count_unbuilt(PyObject*, PyObject*) { return PyLong_FromLong(unbuilt_traversals); }
PyMethodDef probe_functions[] = {{"unbuilt_traversals", count_unbuilt, METH_NOARGS, nullptr}, {}};

int exec_probe(PyObject* module) {
  PyRef type = PyRef::steal(create_class(&holder_spec, ClassDoc::kept));
  return type ? PyModule_AddObjectRef(module, "Holder", type.get()) : -1;
}
PyModuleDef_Slot probe_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_probe)}, {Py_mod_gil, Py_MOD_GIL_NOT_USED}, {0, nullptr}};
PyModuleDef probe_module = {PyModuleDef_HEAD_INIT, "gc_probe", nullptr, 0, probe_functions, probe_slots,
                            nullptr, nullptr, nullptr};
}  // namespace

PyMODINIT_FUNC PyInit_gc_probe() { return PyModuleDef_Init(&probe_module); }
"""

CHECKS = r"""
import gc, weakref
import gc_probe
from gc_probe import Holder

class Node:
    pass

# A cycle through the native value is found and broken.
node = Node()
node.holder = Holder(node)
alive = weakref.ref(node)
del node
gc.collect()
assert alive() is None

# The value's references are reported, with the type.
item = Node()
holder = Holder(item)
assert gc.is_tracked(holder)
assert {id(o) for o in gc.get_referents(holder)} == {id(Holder), id(item)}

# A failed constructor leaves nothing for the collector.
try:
    Holder(None)
except RuntimeError as error:
    assert str(error) == "refused"
else:
    raise AssertionError("Holder(None) was accepted")
gc.collect()

# Dropping the last reference to the item collects during the destruction.
class CollectsWhenDropped:
    def __del__(self):
        gc.collect()

holder = Holder(CollectsWhenDropped())
del holder
gc.collect()
assert gc_probe.unbuilt_traversals() == 0
print("ok")
"""


@pytest.mark.skipif(COMPILER is None, reason="no C++ compiler")
def test_collected_class_is_traversed_only_while_its_value_is_alive(tmp_path):
    extension = tmp_path / f"gc_probe{sysconfig.get_config_var('EXT_SUFFIX')}"
    (tmp_path / "probe.cpp").write_text(PROBE)
    subprocess.run(
        [
            COMPILER,
            "-std=c++20",
            "-shared",
            "-fPIC",
            "-Wall",
            "-Wextra",
            "-Werror",
            f"-I{sysconfig.get_paths()['include']}",
            f"-I{SRC}",
            "-o",
            str(extension),
            str(tmp_path / "probe.cpp"),
            str(SRC / "binding/common/native_class.cpp"),
        ],
        check=True,
    )
    # A collector that meets a half-destroyed instance can loop for ever: the
    # timeout only turns that hang into a failure.
    result = subprocess.run([sys.executable, "-c", CHECKS], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stderr, result.stdout.strip()) == (0, "", "ok")
