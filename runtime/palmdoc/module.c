/* The Python module cPalmdoc, carried by the converter runtime in place of calibre's: the same
 * functions with the same arguments, results and errors, and the same compressed bytes, made
 * through a hash chain instead of calibre's backwards scan (palmdoc.h).
 *
 * compress(bytes) -> bytes    (empty input raises MemoryError, as calibre's does)
 * decompress(bytes) -> bytes */

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "palmdoc.h"

static PyObject* bytes_from(uint8_t* data, size_t size) {
    PyObject* result = PyBytes_FromStringAndSize((const char*)data, (Py_ssize_t)size);
    PyMem_Free(data);
    return result;
}

static PyObject* palmdoc_compress(PyObject* self, PyObject* args) {
    (void)self;
    const char* in = NULL;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "y#", &in, &size)) {
        return NULL;
    }
    if (size == 0) {
        /* calibre's compressor takes an empty result for a failed allocation. */
        return PyErr_NoMemory();
    }
    uint8_t* out = PyMem_Malloc(bq_palmdoc_compress_bound((size_t)size));
    if (out == NULL) {
        return PyErr_NoMemory();
    }
    const size_t length = bq_palmdoc_compress((const uint8_t*)in, (size_t)size, out);
    if (length == SIZE_MAX) {
        PyMem_Free(out);
        return PyErr_NoMemory();
    }
    return bytes_from(out, length);
}

static PyObject* palmdoc_decompress(PyObject* self, PyObject* args) {
    (void)self;
    const char* in = NULL;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "y#", &in, &size)) {
        return NULL;
    }
    uint8_t* out = PyMem_Malloc(bq_palmdoc_decompress_bound((size_t)size) + 1);
    if (out == NULL) {
        return PyErr_NoMemory();
    }
    return bytes_from(out, bq_palmdoc_decompress((const uint8_t*)in, (size_t)size, out));
}

static PyMethodDef palmdoc_methods[] = {
    {"decompress", palmdoc_decompress, METH_VARARGS,
     "decompress(bytestring) -> decompressed bytestring\n\n"
     "Decompress a palmdoc compressed byte string. "},
    {"compress", palmdoc_compress, METH_VARARGS,
     "compress(bytestring) -> compressed bytestring\n\n"
     "Palmdoc compress a byte string. "},
    {NULL, NULL, 0, NULL},
};

static PyModuleDef_Slot palmdoc_slots[] = {{0, NULL}};

static struct PyModuleDef palmdoc_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "cPalmdoc",
    .m_doc = "Compress and decompress palmdoc strings.",
    .m_size = 0,
    .m_methods = palmdoc_methods,
    .m_slots = palmdoc_slots,
};

PyMODINIT_FUNC PyInit_cPalmdoc(void);

PyMODINIT_FUNC PyInit_cPalmdoc(void) {
    return PyModuleDef_Init(&palmdoc_module);
}
