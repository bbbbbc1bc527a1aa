// The Python module morvekin: lawmlNC parses and validates its arguments,
// views the four arrays through the buffer protocol, runs the filter without
// the GIL and returns 0.
#define PY_SSIZE_T_CLEAN
#define Py_LIMITED_API 0x030B0000
#include <Python.h>

#include "lawml.h"

#include <cstdint>
#include <cstring>

namespace {

// One argument's buffer, released when it goes out of scope (GIL held).
struct array_argument {
    const char* name;
    Py_buffer buffer{};
    bool held = false;

    explicit array_argument(const char* argument_name) : name(argument_name) {}
    array_argument(const array_argument&) = delete;
    array_argument& operator=(const array_argument&) = delete;
    ~array_argument()
    {
        if (held)
            PyBuffer_Release(&buffer);
    }

    std::ptrdiff_t rows() const { return buffer.shape[0]; }
    std::ptrdiff_t cols() const { return buffer.shape[1]; }

    strided_matrix matrix() const
    {
        return {static_cast<char*>(buffer.buf), rows(), cols(), buffer.strides[0],
                buffer.strides[1]};
    }
};

bool is_native_double(const char* format)
{
    if (format == nullptr)  // the buffer protocol's way of saying unsigned bytes
        return false;
    const char native_order = PY_LITTLE_ENDIAN ? '<' : '>';
    if (*format == '@' || *format == '=' || *format == native_order)
        ++format;
    return std::strcmp(format, "d") == 0;
}

bool is_aligned(const Py_buffer& b)
{
    if (b.shape[0] == 0 || b.shape[1] == 0)
        return true;
    constexpr auto align = static_cast<Py_ssize_t>(alignof(double));
    const bool rows_aligned = b.shape[0] == 1 || b.strides[0] % align == 0;
    const bool cols_aligned = b.shape[1] == 1 || b.strides[1] % align == 0;
    return reinterpret_cast<std::uintptr_t>(b.buf) % align == 0 && rows_aligned && cols_aligned;
}

bool has_distinct_elements(const array_argument& a)
{
    const overlap found = elements_overlap(a.matrix());
    if (found == overlap::none)
        return true;
    PyErr_Format(PyExc_ValueError,
                 "%s %s elements that share memory (shape (%zd, %zd), strides (%zd, %zd))",
                 a.name, found == overlap::found ? "has" : "may have", a.rows(), a.cols(),
                 a.buffer.strides[0], a.buffer.strides[1]);
    return false;
}

// Acquires the buffer of object as a 2-D array of native, aligned doubles.
bool acquire(PyObject* object, array_argument& a, bool written)
{
    if (!PyObject_CheckBuffer(object)) {
        PyObject* type_name = PyType_GetName(Py_TYPE(object));
        if (type_name != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s must be a 2-D float64 array, not %U", a.name,
                         type_name);
            Py_DECREF(type_name);
        }
        return false;
    }
    if (PyObject_GetBuffer(object, &a.buffer, PyBUF_RECORDS_RO) != 0) {
        if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            PyErr_Format(PyExc_TypeError, "%s must be a 2-D float64 array: %S", a.name,
                         value != nullptr ? value : Py_None);
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
        }
        return false;
    }
    a.held = true;

    const Py_buffer& b = a.buffer;
    if (b.itemsize != sizeof(double) || !is_native_double(b.format)) {
        PyErr_Format(PyExc_TypeError,
                     "%s must hold float64 values in native byte order, not format '%s'",
                     a.name, b.format != nullptr ? b.format : "B");
        return false;
    }
    if (b.ndim != 2) {
        PyErr_Format(PyExc_ValueError, "%s must be 2-D, not %d-D", a.name, b.ndim);
        return false;
    }
    if (!is_aligned(b)) {
        PyErr_Format(PyExc_TypeError, "%s must be aligned to %d bytes", a.name,
                     static_cast<int>(alignof(double)));
        return false;
    }
    if (written && b.readonly) {
        PyErr_Format(PyExc_ValueError, "%s is read-only", a.name);
        return false;
    }
    return !written || has_distinct_elements(a);
}

bool covers(const array_argument& outer, const array_argument& inner)
{
    if (outer.rows() >= inner.rows() && outer.cols() >= inner.cols())
        return true;
    PyErr_Format(PyExc_ValueError, "%s has shape (%zd, %zd), smaller than %s (%zd, %zd)",
                 outer.name, outer.rows(), outer.cols(), inner.name, inner.rows(),
                 inner.cols());
    return false;
}

bool disjoint(const array_argument& a, const array_argument& b)
{
    const overlap found = views_overlap(a.matrix(), b.matrix());
    if (found == overlap::none)
        return true;
    if (found == overlap::found)
        PyErr_Format(PyExc_ValueError, "%s shares memory with %s", a.name, b.name);
    else
        PyErr_Format(PyExc_ValueError,
                     "%s may share memory with %s: their layouts are too intricate to rule "
                     "it out; pass a copy of one",
                     a.name, b.name);
    return false;
}

// denoised may be coeffs itself (its top-left part the same elements at the
// same places), since every coefficient is read before its shrunk value is
// written. The stride of a dimension of one element addresses nothing.
bool same_elements(const array_argument& denoised, const array_argument& coeffs)
{
    const Py_buffer &d = denoised.buffer, &c = coeffs.buffer;
    return d.buf == c.buf && (coeffs.rows() <= 1 || d.strides[0] == c.strides[0]) &&
           (coeffs.cols() <= 1 || d.strides[1] == c.strides[1]);
}

PyObject* lawmlNC(PyObject*, PyObject* args)
{
    PyObject *coeffs_object, *variance_object, *scratch_object, *denoised_object;
    double noise_var;
    int multiscale;
    if (!PyArg_ParseTuple(args, "OOOOdi", &coeffs_object, &variance_object, &scratch_object,
                          &denoised_object, &noise_var, &multiscale))
        return nullptr;

    // scratch is only used, and so only looked at, when multiscale is 1.
    const bool uses_scratch = multiscale == 1;
    array_argument coeffs("coeffs"), variance("variance"), scratch("scratch"),
        denoised("denoised");
    const bool valid =
        acquire(coeffs_object, coeffs, false) &&
        acquire(variance_object, variance, true) &&
        (!uses_scratch || acquire(scratch_object, scratch, true)) &&
        acquire(denoised_object, denoised, true) &&
        covers(variance, coeffs) &&
        (!uses_scratch || covers(scratch, variance)) &&
        covers(denoised, coeffs) &&
        disjoint(variance, coeffs) &&
        (!uses_scratch || disjoint(scratch, coeffs)) &&
        (!uses_scratch || disjoint(scratch, variance)) &&
        (same_elements(denoised, coeffs) || disjoint(denoised, coeffs)) &&
        disjoint(denoised, variance) &&
        (!uses_scratch || disjoint(denoised, scratch));
    if (!valid)
        return nullptr;

    // A dummy view stands in for the unused scratch; the filter never touches it.
    const strided_matrix scratch_matrix =
        uses_scratch ? scratch.matrix() : strided_matrix{nullptr, 0, 0, 0, 0};
    lawml_status status;
    Py_BEGIN_ALLOW_THREADS
    status = lawml_filter(coeffs.matrix(), variance.matrix(), scratch_matrix, denoised.matrix(),
                          noise_var, multiscale);
    Py_END_ALLOW_THREADS
    if (status == lawml_status::out_of_memory)
        return PyErr_NoMemory();
    return PyLong_FromLong(0);
}

PyMethodDef methods[] = {
    {"lawmlNC", lawmlNC, METH_VARARGS,
     "lawmlNC($module, coeffs, variance, scratch, denoised, noise_var, multiscale, /)\n--\n\n"
     "Extracción de ruido de imagen"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "morvekin",
    nullptr,  // no module doc string
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_morvekin()
{
    return PyModuleDef_Init(&module_definition);
}
