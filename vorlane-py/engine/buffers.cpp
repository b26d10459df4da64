// Buffer acquisition and element-type checks.
#include "buffers.hpp"

#include <cstring>

namespace vorlane_engine {

bool element_of(const char* format, Py_ssize_t itemsize, Element& element) {
    if (format == nullptr) return false;
    // A native byte order prefix is allowed; anything else is not ours to read.
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    if (std::strlen(format) != 1) return false;
    const char code = format[0];
    if (code == 'd' && itemsize == 8) {
        element = Element::Float64;
        return true;
    }
    if ((code == 'I' || code == 'L') && itemsize == 4) {
        element = Element::UInt32;
        return true;
    }
    if ((code == 'i' || code == 'l' || code == 'q') && (itemsize == 4 || itemsize == 8)) {
        element = itemsize == 4 ? Element::Int32 : Element::Int64;
        return true;
    }
    return false;
}

bool Borrowed::acquire(PyObject* object, Element element, const char* name, bool writable) {
    release();
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(object, &view_, flags) < 0) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous%s array", name, writable ? " writable" : "");
        return false;
    }
    held_ = true;
    Element found;
    const bool signed_wanted = element == Element::Int32 || element == Element::Int64;
    const bool matches = element_of(view_.format, view_.itemsize, found) &&
                         (signed_wanted ? found == Element::Int32 || found == Element::Int64 : found == element);
    if (!matches) {
        const char* wanted = signed_wanted ? "int32 or int64" : element == Element::UInt32 ? "uint32" : "float64";
        PyErr_Format(PyExc_TypeError, "%s must hold %s", name, wanted);
        release();
        return false;
    }
    element_ = found;
    size_ = static_cast<uint64_t>(view_.len / view_.itemsize);
    return true;
}

void Borrowed::release() {
    if (held_) {
        PyBuffer_Release(&view_);
        held_ = false;
    }
}

}  // namespace vorlane_engine
