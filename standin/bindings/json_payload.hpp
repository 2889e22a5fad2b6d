// A quick proof that a job payload can be sent as JSON, for the common case of plain data.
//
// The job service checks every payload with json.dumps before it runs a job; for the large
// lists of floats of a CPT that check costs more than the job itself. This walk accepts only
// what json.dumps provably accepts without running any Python code: exact dicts with exact
// str, int, float, bool or None keys, exact lists and tuples, and exact str, int, float, bool
// and None values, nested no deeper than a fixed bound and without cycles. Anything else (a
// subclass, a foreign type, a cycle, deep nesting) answers "not proven", and the caller runs
// json.dumps itself, so every refusal keeps json's own decision and message.

#pragma once

#include <Python.h>

#include <vector>

namespace json_payload {

// Deeper payloads are left to json.dumps, which knows how to refuse them with RecursionError.
constexpr int kMaxDepth = 200;

class PlainJsonWalk {
public:
    bool accepts(PyObject* value, int depth = 0) {
        if (is_plain_scalar(value)) return true;
        if (depth >= kMaxDepth) return false;
        if (PyDict_CheckExact(value)) return accepts_dict(value, depth);
        if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) return accepts_sequence(value, depth);
        return false;
    }

private:
    // Containers on the path from the root: one met again is a cycle.
    std::vector<PyObject*> path_;

    static bool is_plain_scalar(PyObject* value) {
        return value == Py_None || PyBool_Check(value) || PyFloat_CheckExact(value) || PyLong_CheckExact(value) ||
               PyUnicode_CheckExact(value);
    }

    bool enter(PyObject* container) {
        for (PyObject* open : path_)
            if (open == container) return false;
        path_.push_back(container);
        return true;
    }

    // Neither loop runs Python code: exact containers and exact scalars have no hooks, so the
    // borrowed items stay valid while they are looked at.
    bool accepts_dict(PyObject* dict, int depth) {
        if (!enter(dict)) return false;
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* item;
        while (PyDict_Next(dict, &pos, &key, &item)) {
            if (!is_plain_scalar(key) || !accepts(item, depth + 1)) return false;
        }
        path_.pop_back();
        return true;
    }

    bool accepts_sequence(PyObject* sequence, int depth) {
        if (!enter(sequence)) return false;
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
        PyObject** items = PySequence_Fast_ITEMS(sequence);
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (PyFloat_CheckExact(items[i])) continue;  // a CPT's columns: thousands of them
            if (!accepts(items[i], depth + 1)) return false;
        }
        path_.pop_back();
        return true;
    }
};

// True when json.dumps(value, allow_nan=True) is known to succeed; False means "run it to see".
inline bool is_plain_json(PyObject* value) { return PlainJsonWalk().accepts(value); }

}  // namespace json_payload
