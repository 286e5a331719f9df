#include <arrow/python/pyarrow.h>
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(shredder_ext, m) {
  m.doc() = "Reversible document shredder (Controller boundary; RecordBatch in/out)";
  if (arrow::py::import_pyarrow() != 0) throw py::error_already_set();
}
