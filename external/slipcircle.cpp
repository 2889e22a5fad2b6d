// terrak.external.slipcircle: the slope-stability program that runs on a remote worker.
//
// SlipCircleAnalysis only fills the hooks of the host's ExternalProgram (the job content and the
// translation of run errors) and unpacks a result file afterwards; submitting, waiting and polling
// stay with the host. Every host name is read from this module's namespace when a call runs, so an
// application (or a test) that replaces e.g. `slipcircle._dseries_exception_map` is obeyed.
#include "host/host.hpp"
#include "pyclass/pyclass.hpp"

#include <string>
#include <utility>

namespace slipcircle {
namespace {

namespace py = pybind11;
using namespace pybind11::literals;

using pyclass::truthy;

// `raise value` as a raise statement does it: an exception instance is raised as it is, an
// exception class is instantiated without arguments, anything else is the language's TypeError.
[[noreturn]] void raise_object(const py::object& value) {
    if (PyExceptionInstance_Check(value.ptr())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())), value.ptr());
    } else if (PyExceptionClass_Check(value.ptr())) {
        PyErr_SetNone(value.ptr());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    throw py::error_already_set();
}

// `first, second = value` as an assignment statement unpacks it, with the language's messages.
std::pair<py::object, py::object> unpack_pair(const py::object& value) {
    PyObject* iterator = PyObject_GetIter(value.ptr());
    if (iterator == nullptr) {
        // The interpreter's own test: the type has no __iter__ and is no sequence. Both read type
        // slots only; an attribute lookup here could run Python code (a __getattr__) while the
        // error of PyObject_GetIter is still pending.
        const bool not_iterable = Py_TYPE(value.ptr())->tp_iter == nullptr && !PySequence_Check(value.ptr());
        if (!PyErr_ExceptionMatches(PyExc_TypeError) || !not_iterable) throw py::error_already_set();
        PyErr_Clear();
        throw py::type_error("cannot unpack non-iterable " + std::string(Py_TYPE(value.ptr())->tp_name) + " object");
    }
    py::object items = py::reinterpret_steal<py::object>(iterator);
    auto next = [&items]() -> py::object {
        PyObject* item = PyIter_Next(items.ptr());
        if (item == nullptr && PyErr_Occurred()) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(item);
    };
    py::object first = next();
    py::object second = first ? next() : py::object();
    if (!second) {
        throw py::value_error("not enough values to unpack (expected 2, got " + std::to_string(first ? 1 : 0) + ")");
    }
    if (next()) throw py::value_error("too many values to unpack (expected 2)");
    return {std::move(first), std::move(second)};
}

void import_names(py::module_& m) {
    host::import_module(m, "base64", "base64");
    host::import_from(m, "io", "BytesIO");
    host::import_from(m, "terrak.core", "File");
    for (const char* name : {"ExternalProgram", "_JobContent", "_dseries_exception_map", "_get_dseries_file_body"})
        host::import_from(m, "terrak.external.external_program", name);
}

constexpr const char* class_doc = R"(Slip circle stability analysis, run by the stability program on a remote worker.

The analysis takes the program's input file, either as an in-memory byte stream or as a
terrak File. Start the calculation with the ``execute`` method of the base class, giving a
time-out in seconds; when it has finished, fetch a result file with ``get_output_file``::

    analysis = SlipCircleAnalysis(input_file)
    analysis.execute(timeout=300)
    report = analysis.get_output_file()                      # the ".sto" file as a BytesIO
    log = analysis.get_output_file(".err", as_file=True)     # a File, or None without one

A failed calculation raises ExecutionError (or the error that the program's message maps to).

:param input_file: the input file of the stability program (``BytesIO`` or ``File``).
)";

// A documentation string that starts with "name(parameters)\n--\n\n" gives the builtin function a
// signature that inspect and help() read, and is shown without that line.
constexpr const char* generate_job_content_doc = R"(_generate_job_content(self)
--

Packs the input file into the job sent to the worker.

:returns: a _JobContent whose ``body`` is the Base64 text of the input file's bytes.
)";

constexpr const char* handle_execution_error_doc = R"(_handle_execution_error(self, message)
--

Translates the error message of a failed run.

A message known to the program's exception map raises the mapped exception type with the
mapped text; any other message returns None (the base class then reports the failure).

:param message: the error text of the failed run.
)";

constexpr const char* get_output_file_doc = R"(get_output_file(self, extension='.sto', as_file=False)
--

Returns one result file of the last run.

:param extension: the file's extension: ".sto" (default), ".error.log" or ".err".
:param as_file: when true, the file is returned as a terrak File instead of a BytesIO.
:returns: the file as a BytesIO (or a File with ``as_file``), or None when the result holds
    no file with that extension.
)";

void define_slip_circle_analysis(py::module_& m) {
    py::dict body;
    body["__doc__"] = class_doc;
    py::object cls = pyclass::make_class(m, "SlipCircleAnalysis", py::make_tuple(host::global("ExternalProgram")), body);

    // The base initialiser is reached the way super() in the class body reaches it: through the
    // MRO after this very class (not whatever the module name is bound to later), so subclasses
    // with several bases keep their cooperative initialisation.
    pyclass::init(cls, [cls](py::object self, py::object input_file) {
        self.attr("input_file") = input_file;
        py::object base = pyclass::builtin("super")(cls, self);
        base.attr("__init__")("slipcircle", "version"_a = 1);
    }, "input_file"_a, py::doc("SlipCircleAnalysis(self, input_file)\n--\n\nStores the input file of the analysis."));

    pyclass::method(cls, "_generate_job_content", [](py::object self) {
        py::object input_file = self.attr("input_file");
        const int is_stream = PyObject_IsInstance(input_file.ptr(), host::global("BytesIO").ptr());
        if (is_stream < 0) throw py::error_already_set();
        py::object data = is_stream ? input_file.attr("getvalue")() : input_file.attr("getvalue_binary")();
        py::object body = host::global("base64").attr("b64encode")(data).attr("decode")("utf-8");
        return host::global("_JobContent")("body"_a = body);
    }, py::doc(generate_job_content_doc));

    pyclass::method(cls, "_handle_execution_error", [](py::object, py::object message) {
        py::object mapped = host::global("_dseries_exception_map").attr("get")(message, py::make_tuple("", py::none()));
        auto [text, error_type] = unpack_pair(mapped);
        if (error_type.is_none()) return;
        raise_object(error_type(text));
    }, "message"_a, py::doc(handle_execution_error_doc));

    pyclass::method(cls, "get_output_file", [](py::object self, py::object extension, py::object as_file) {
        py::object result_content = self.attr("_get_result_content")();
        py::object body = host::global("_get_dseries_file_body")(result_content, extension);
        if (truthy(body) && truthy(as_file)) return host::global("File").attr("from_data")(body.attr("getvalue")());
        return body;
    }, "extension"_a = ".sto", "as_file"_a = false, py::doc(get_output_file_doc));
}

}  // namespace
}  // namespace slipcircle

TERRAK_MODULE(slipcircle, m) {
    host::bind_namespace(m);
    m.attr("__doc__") = "The slope-stability program run on a remote worker: SlipCircleAnalysis.";
    slipcircle::import_names(m);
    pybind11::list all;
    all.append("SlipCircleAnalysis");
    m.attr("__all__") = all;
    slipcircle::define_slip_circle_analysis(m);
}
