#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <arrow/python/pyarrow.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "module/arrow_bridge.h"
#include "module/controller_handle.h"
#include "module/json_array.h"
#include "module/json_lines.h"
#include "module/python_errors.h"
#include "module/shred_calls.h"
#include "shredder/atoms_schema.h"

namespace py = pybind11;

namespace {

// Unknown codec names and any other construction failure reach Python as ValueError with
// the failure's own text.
std::shared_ptr<arrow::Schema> schema_argument(const py::handle object, const char* name) {
  arrow::Result<std::shared_ptr<arrow::Schema>> schema = shredder::unwrap_schema(object, name);
  if (!schema.ok()) shredder::raise_value_error(schema.status().message());
  return *std::move(schema);
}

std::unique_ptr<shredder::ControllerHandle> create_controller_binding(const std::string& name,
                                                                    bool exact,
                                                                    const py::object& owners) {
  const std::shared_ptr<arrow::Schema> owner_fields =
      owners.is_none() ? nullptr : schema_argument(owners, "owners");
  try {
    std::unordered_map<std::string, std::string> owned;
    if (owner_fields != nullptr) owned = shredder::OwnedNames(*owner_fields);
    return shredder::create_controller(name, exact, std::move(owned));
  } catch (const std::exception& error) {
    shredder::raise_engine_error(error, "");
  }
}

// Names and key list codes are bytes: a code holds binary lengths.
py::dict carried_owners_binding(const shredder::ControllerHandle& handle) {
  py::dict owners;
  for (const auto& [name, code] : handle.controller->carried_owners()) {
    owners[py::bytes(name)] = py::bytes(code);
  }
  return owners;
}

void carry_owners_binding(shredder::ControllerHandle& handle, const py::dict& owners) {
  std::unordered_map<std::string, std::string> carried;
  for (const auto& [name, code] : owners) {
    carried.emplace(name.cast<std::string>(), code.cast<std::string>());
  }
  handle.controller->carry_owners(std::move(carried));
}

std::vector<int> column_owners_binding(const py::object& fields) {
  return shredder::ColumnOwners(*schema_argument(fields, "fields"));
}

// A batch's documents as a pyarrow.BinaryArray.
py::object wrap_documents(const std::shared_ptr<arrow::Array>& documents) {
  py::object wrapped = py::reinterpret_steal<py::object>(arrow::py::wrap_array(documents));
  if (!wrapped) throw py::error_already_set();
  return wrapped;
}

// A batch as (documents: pyarrow.BinaryArray, line numbers: list, bytes read).
py::list cut_batches_binding(std::vector<shredder::JsonLinesCutter::Batch> batches) {
  py::list out;
  for (auto& batch : batches) {
    out.append(py::make_tuple(wrap_documents(batch.documents), py::cast(batch.lines),
                              batch.nbytes));
  }
  return out;
}

// The bytes of any object whose bytes lie in one run (bytes, bytearray, a memoryview of
// them), held while `use` reads them; a strided view would be read as if it were one.
template <typename Use>
auto with_text(const py::buffer& text, Use&& use) {
  const py::buffer_info info = text.request();
  if (info.ndim > 1 || (info.ndim == 1 && info.strides[0] != info.itemsize)) {
    throw py::type_error("text must be a contiguous bytes-like object");
  }
  return use(std::string_view(static_cast<const char*>(info.ptr), info.size * info.itemsize));
}

py::list feed_lines_binding(shredder::JsonLinesCutter& cutter, const py::buffer& text) {
  return with_text(text, [&](std::string_view bytes) {
    return cut_batches_binding(cutter.feed(bytes));
  });
}

// A batch as (documents: pyarrow.BinaryArray, bytes read).
py::list element_batches_binding(std::vector<shredder::JsonArrayCutter::Batch> batches) {
  py::list out;
  for (auto& batch : batches) {
    out.append(py::make_tuple(wrap_documents(batch.documents), batch.nbytes));
  }
  return out;
}

}  // namespace

// No function carries a docstring; the binding library writes their signatures. Every
// function runs with the interpreter lock held and never releases it.
PYBIND11_MODULE(shredder_ext, m) {
  m.doc() = "Reversible document shredder (Controller boundary; RecordBatch in/out)";
  // The wheel's libarrow is found through the module's RPATH; what can still be missing here
  // is the pyarrow package itself, reported as an ImportError that says so.
  if (arrow::py::import_pyarrow() != 0) {
    py::error_already_set error;
    shredder::raise_pyarrow_import_error(error);
  }

  py::class_<shredder::ControllerHandle> handle_class(m, "ControllerHandle");
  // The class is opaque: no constructor, and none of the interoperability method the binding
  // library adds to every class.
  py::delattr(handle_class, "_pybind11_conduit_v1_");

  m.def("create_controller", &create_controller_binding, py::arg("name"), py::pos_only(),
        py::kw_only(), py::arg("exact") = false, py::arg("owners") = py::none());
  m.def("shred_arrow", &shredder::shred_arrow, py::arg("handle").none(false), py::arg("rb"),
        py::arg("column") = py::none(), py::arg("debug") = false, py::kw_only(),
        py::arg("skip") = false);
  m.def("unshred_arrow", &shredder::unshred_arrow, py::arg("handle").none(false),
        py::arg("atoms_rb"), py::kw_only(), py::arg("stamps") = true, py::arg("skip") = false);
  // Internal, for checking rebuilt documents: the documents' digests without their atoms.
  m.def("_digest_arrow", &shredder::digest_arrow, py::arg("handle").none(false), py::arg("rb"),
        py::arg("column") = py::none());
  // Internal, for a dataset: the fields whose key lists keep the names its parts share.
  m.def("_column_owners", &column_owners_binding, py::arg("fields"));
  // Internal, for handles that go on with more of the same data: exact mode's guess of the
  // next batch's plan, read from one handle and handed to the next.
  m.def("_carried_owners", &carried_owners_binding, py::arg("handle").none(false));
  m.def("_carry_owners", &carry_owners_binding, py::arg("handle").none(false),
        py::arg("owners"));
  // Internal, for reading JSON Lines: the text cut into batches of documents.
  py::class_<shredder::JsonLinesCutter>(m, "_JsonLinesCutter")
      .def(py::init<int64_t, int64_t, int64_t>(), py::arg("max_lines"), py::arg("max_bytes"),
           py::kw_only(),
           py::arg("max_data") = shredder::JsonLinesCutter::kLargestBinaryData)
      .def("feed", &feed_lines_binding, py::arg("text"))
      .def("finish", [](shredder::JsonLinesCutter& cutter) {
        return cut_batches_binding(cutter.finish());
      })
      .def_property_readonly("lines", &shredder::JsonLinesCutter::lines);
  // Internal, for reading a JSON file that holds an array of objects: its elements cut into
  // batches of documents, and where the file can be cut into partitions.
  py::class_<shredder::JsonArrayCutter>(m, "_JsonArrayCutter")
      .def(py::init<int64_t, int64_t, int64_t, int64_t>(), py::arg("max_documents"),
           py::arg("max_bytes"), py::kw_only(), py::arg("start"),
           py::arg("max_data") = shredder::JsonLinesCutter::kLargestBinaryData)
      .def("feed",
           [](shredder::JsonArrayCutter& cutter, const py::buffer& text) {
             return with_text(text, [&](std::string_view bytes) {
               return element_batches_binding(cutter.feed(bytes));
             });
           }, py::arg("text"))
      .def("finish", [](shredder::JsonArrayCutter& cutter, bool whole) {
        return element_batches_binding(cutter.finish(whole));
      }, py::kw_only(), py::arg("whole"))
      .def_property_readonly("documents", &shredder::JsonArrayCutter::documents);
  py::class_<shredder::JsonArrayCuts>(m, "_JsonArrayCuts")
      .def(py::init<int64_t>(), py::arg("every"))
      .def("feed",
           [](shredder::JsonArrayCuts& cuts, const py::buffer& text) {
             with_text(text, [&](std::string_view bytes) {
               cuts.feed(bytes);
               return 0;
             });
           }, py::arg("text"))
      .def("finish",
           [](shredder::JsonArrayCuts& cuts) {
             py::list out;
             for (const auto& cut : cuts.finish()) {
               out.append(py::make_tuple(cut.offset, cut.documents));
             }
             return out;
           })
      .def_property_readonly("documents", &shredder::JsonArrayCuts::documents);
}
