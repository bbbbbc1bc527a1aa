// The Python module morvekin: lawmlNC parses and validates its arguments,
// views the four arrays through the buffer protocol, runs the filter without
// the GIL and returns 0. Only the limited API of Python 3.11 is used; the
// build defines Py_LIMITED_API.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lawml.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>

namespace {

// Takes the pending exception, normalized and with its traceback attached.
PyObject* take_pending_error()
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr)
        PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

// Raises a new error chained to cause (a reference it takes over) as
// `raise error from cause` inside `except` does.
void raise_from(PyObject* cause, PyObject* type, const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    if (cause == nullptr)
        return;
    PyObject *error_type, *error, *traceback;
    PyErr_Fetch(&error_type, &error, &traceback);
    PyErr_NormalizeException(&error_type, &error, &traceback);
    if (error != nullptr) {
        PyException_SetContext(error, Py_NewRef(cause));
        PyException_SetCause(error, cause);
    } else {
        Py_DECREF(cause);
    }
    PyErr_Restore(error_type, error, traceback);
}

// The name of object's type, as a new reference (nullptr with an error set).
PyObject* type_name(PyObject* object)
{
    return PyType_GetName(Py_TYPE(object));
}

// Replaces the pending error by one of the given type, chained to it, whose
// message (format) names the type of the object given (%U). Returns false.
bool refuse(PyObject* object, PyObject* type, const char* format)
{
    PyObject* cause = take_pending_error();
    PyObject* name = type_name(object);
    if (name == nullptr) {
        Py_XDECREF(cause);
        return false;
    }
    raise_from(cause, type, format, name);
    Py_DECREF(name);
    return false;
}

// noise_var: any real number, as float() would take it.
bool parse_noise_var(PyObject* object, double& noise_var)
{
    noise_var = PyFloat_AsDouble(object);
    if (noise_var != -1.0 || !PyErr_Occurred())
        return true;
    if (PyErr_ExceptionMatches(PyExc_TypeError))
        return refuse(object, PyExc_TypeError, "noise_var must be a real number, not %U");
    if (!PyErr_ExceptionMatches(PyExc_OverflowError))
        return false;
    if (!PyLong_Check(object))
        return refuse(object, PyExc_OverflowError,
                      "noise_var must lie within the range of a float64; the %U given does not");
    // An int too large: its size says what was given without printing it.
    PyObject* cause = take_pending_error();
    PyObject* bits = PyObject_CallMethod(object, "bit_length", nullptr);
    if (bits == nullptr) {
        Py_XDECREF(cause);
        return false;
    }
    raise_from(cause, PyExc_OverflowError,
               "noise_var must lie within the range of a float64, not an int of %S bits", bits);
    Py_DECREF(bits);
    return false;
}

// multiscale: any int (or object with __index__), however large; 1 selects
// all widths, anything else width 3 alone. True counts as 1.
bool parse_multiscale(PyObject* object, bool& all_widths)
{
    PyObject* index = PyNumber_Index(object);
    if (index == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError))
            refuse(object, PyExc_TypeError, "multiscale must be an int, not %U");
        return false;
    }
    // Compared as an int: any value too large for a long is not 1.
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    all_widths = overflow == 0 && value == 1;
    return true;
}

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

// NumPy's name for the items of a floating-point buffer format, else nullptr.
const char* float_name(const char* format)
{
    if (format == nullptr)
        return nullptr;
    const char* item = std::strchr("<>!=@", *format) != nullptr ? format + 1 : format;
    if (std::strcmp(item, "e") == 0)
        return "float16";
    if (std::strcmp(item, "f") == 0)
        return "float32";
    if (std::strcmp(item, "d") == 0)  // a native float64 is never refused
        return "byte-swapped float64";
    if (std::strcmp(item, "g") == 0)
        return "longdouble";
    return nullptr;
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

// Refuses a buffer that is not a 2-D array of native, aligned doubles whose
// bytes all have addresses.
bool check_layout(const array_argument& a, bool written)
{
    const Py_buffer& b = a.buffer;
    if (b.itemsize != sizeof(double) || !is_native_double(b.format)) {
        const char* format = b.format != nullptr ? b.format : "B";
        const char* then = written ? " and read the results from that array" : "";
        if (const char* name = float_name(b.format))
            PyErr_Format(PyExc_TypeError,
                         "%s must hold float64 values in native byte order, not %s (format "
                         "'%s'); convert it with numpy.asarray(%s, dtype=numpy.float64)%s",
                         a.name, name, format, a.name, then);
        else
            PyErr_Format(PyExc_TypeError,
                         "%s must hold float64 values in native byte order, not format '%s'; "
                         "convert it with numpy.asarray(%s, dtype=numpy.float64)%s",
                         a.name, format, a.name, then);
        return false;
    }
    if (b.ndim != 2) {
        PyErr_Format(PyExc_ValueError, "%s must be 2-D, not %d-D", a.name, b.ndim);
        return false;
    }
    if (!is_addressable(a.matrix())) {
        PyErr_Format(PyExc_ValueError,
                     "%s has shape (%zd, %zd) and strides (%zd, %zd), which reach beyond the "
                     "address space",
                     a.name, a.rows(), a.cols(), b.strides[0], b.strides[1]);
        return false;
    }
    if (!is_aligned(b)) {
        PyErr_Format(PyExc_TypeError, "%s must be aligned to %d bytes", a.name,
                     static_cast<int>(alignof(double)));
        return false;
    }
    return true;
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

// Acquires the buffer of object as a 2-D array of native, aligned doubles,
// writable and with distinct elements if it is written.
bool acquire(PyObject* object, array_argument& a, bool written)
{
    if (!PyObject_CheckBuffer(object)) {
        if (PyObject* name = type_name(object)) {
            PyErr_Format(PyExc_TypeError, "%s must be a 2-D float64 array, not %U", a.name, name);
            Py_DECREF(name);
        }
        return false;
    }
    if (PyObject_GetBuffer(object, &a.buffer, written ? PyBUF_RECORDS : PyBUF_RECORDS_RO) == 0) {
        a.held = true;
        return check_layout(a, written) && (!written || has_distinct_elements(a));
    }
    if (PyErr_ExceptionMatches(PyExc_MemoryError))
        return false;
    PyObject* cause = take_pending_error();
    if (written && PyObject_GetBuffer(object, &a.buffer, PyBUF_RECORDS_RO) == 0) {
        // Readable but not writable: a wrong layout is the first thing to say.
        a.held = true;
        if (check_layout(a, written))
            raise_from(cause, PyExc_ValueError, "%s is read-only", a.name);
        else
            Py_XDECREF(cause);
        return false;
    }
    PyErr_Clear();
    raise_from(cause, PyExc_TypeError, "%s must be a 2-D float64 array; its buffer was refused: %S",
               a.name, cause != nullptr ? cause : Py_None);
    return false;
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
    const Py_ssize_t given = PyTuple_Size(args);
    if (given != 6) {
        PyErr_Format(PyExc_TypeError, "lawmlNC() takes exactly 6 arguments (%zd given)", given);
        return nullptr;
    }
    double noise_var;
    bool all_widths;
    if (!parse_noise_var(PyTuple_GetItem(args, 4), noise_var) ||
        !parse_multiscale(PyTuple_GetItem(args, 5), all_widths))
        return nullptr;

    // scratch is only used, and so only looked at, with all widths.
    array_argument coeffs("coeffs"), variance("variance"), scratch("scratch"),
        denoised("denoised");
    const bool valid =
        acquire(PyTuple_GetItem(args, 0), coeffs, false) &&
        acquire(PyTuple_GetItem(args, 1), variance, true) &&
        (!all_widths || acquire(PyTuple_GetItem(args, 2), scratch, true)) &&
        acquire(PyTuple_GetItem(args, 3), denoised, true) &&
        covers(variance, coeffs) &&
        (!all_widths || covers(scratch, variance)) &&
        covers(denoised, coeffs) &&
        disjoint(variance, coeffs) &&
        (!all_widths || disjoint(scratch, coeffs)) &&
        (!all_widths || disjoint(scratch, variance)) &&
        (same_elements(denoised, coeffs) || disjoint(denoised, coeffs)) &&
        disjoint(denoised, variance) &&
        (!all_widths || disjoint(denoised, scratch));
    if (!valid)
        return nullptr;

    // A dummy view stands in for the unused scratch; the filter never touches it.
    const strided_matrix scratch_matrix =
        all_widths ? scratch.matrix() : strided_matrix{nullptr, 0, 0, 0, 0};
    lawml_status status;
    Py_BEGIN_ALLOW_THREADS
    status = lawml_filter(coeffs.matrix(), variance.matrix(), scratch_matrix, denoised.matrix(),
                          noise_var, all_widths ? 1 : 0);
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
