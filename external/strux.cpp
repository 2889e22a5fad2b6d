// terrak.external._strux: the shared base of the connection proxies to the structural-analysis
// applications that a remote worker drives through their common object API.
//
// Reading members off a connection builds a path (the host's _RemoteProxy does the chaining);
// calling the end of the chain comes back here as one operation for the worker session. The host
// names are read from this module's namespace when a call runs.
#include "host/host.hpp"
#include "pyclass/pyclass.hpp"

#include <string>

namespace strux {
namespace {

namespace py = pybind11;
using namespace pybind11::literals;

using pyclass::truthy;

void import_names(py::module_& m) {
    for (const char* name : {"_SessionProxy", "_RemoteProxy"}) host::import_from(m, "terrak.external._worker", name);
}

constexpr const char* class_doc = R"(Connection to a structural-analysis application driven by a remote worker.

Members of the application's object API are reached as attributes, in the order of their path
from the root, and run when called: each call is sent to the worker session as one operation::

    ret = conn.SapModel.File.Save("model")          # runs SapModel.File.Save("model")
    version = conn.application.GetOAPIVersionNumber()

A function with output parameters returns a list of their values followed by its return value;
one without them returns its return value alone. Names beginning with "_" are never sent to the
application.
)";

// A documentation string that starts with "name(parameters)\n--\n\n" gives the builtin function a
// signature that inspect and help() read, and is shown without that line.
constexpr const char* getattr_doc = R"(__getattr__(self, name)
--

Starts an object API path at ``name`` (for example "SapModel").

:raises AttributeError: for a name that begins with "_".
)";

constexpr const char* dispatch_call_doc = R"(_dispatch_call(self, path, args)
--

Runs one object API call on the worker session.

:param path: the member path, e.g. "SapModel.File.Save".
:param args: the call's positional arguments, sent unchanged.
:returns: the return value alone, or the output parameter values followed by the return value.
)";

constexpr const char* application_doc =
    "The top-level application object, as in ``conn.application.Hide()``.";

void define_strux_connection(py::module_& m) {
    py::dict body;
    body["__doc__"] = class_doc;
    py::object cls = pyclass::make_class(m, "_StruxConnection", py::make_tuple(host::global("_SessionProxy")), body);

    // Only reached when ordinary lookup fails. Private and special names are the language's own
    // probes (copy, pickle, repr hooks) or a missing _session: they must fail as usual instead of
    // becoming calls on the worker.
    pyclass::method(cls, "__getattr__", [](py::object self, py::object name) -> py::object {
        if (truthy(name.attr("startswith")("_"))) {
            PyErr_SetObject(PyExc_AttributeError, name.ptr());
            throw py::error_already_set();
        }
        return host::global("_RemoteProxy")(self, py::make_tuple(name));
    }, "name"_a, py::doc(getattr_doc));

    pyclass::readonly_property(cls, "application", [](py::object self) {
        return host::global("_RemoteProxy")(self, py::make_tuple("__root__"));
    }, application_doc);

    pyclass::method(cls, "_dispatch_call", [](py::object self, py::object path, py::object args) -> py::object {
        // The worker reads the keys in this order.
        py::dict operation;
        operation["path"] = path;
        // list(args) as Python's list() makes it: always a new plain list (py::list(args) would
        // hand on the caller's own list, and a list subclass as it is).
        PyObject* arguments = PySequence_List(args.ptr());
        if (arguments == nullptr) throw py::error_already_set();
        operation["args"] = py::reinterpret_steal<py::object>(arguments);
        operation["kind"] = "call";
        py::object result = self.attr("_session").attr("_execute")(operation);
        py::object out = result.attr("get")("out", py::list());
        py::object ret = result.attr("get")("ret");
        if (!truthy(out)) return ret;
        py::list values;
        for (py::handle value : out) values.append(value);
        values.append(ret);
        return std::move(values);
    }, "path"_a, "args"_a, py::doc(dispatch_call_doc));
}

}  // namespace
}  // namespace strux

TERRAK_MODULE(_strux, m) {
    host::bind_namespace(m);
    m.attr("__doc__") = "The shared base of the structural-analysis application connections: _StruxConnection.";
    strux::import_names(m);
    strux::define_strux_connection(m);
}
