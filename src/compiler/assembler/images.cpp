// The memory images of the Assembler: per probe channel, the envelope memory
// of its drive channels stacked, their drive rows encoded in place, and its
// probe words.
#include <pybind11/pybind11.h>

#include <string>

#include "assembler_core.hpp"
#include "assembler_parts.hpp"
#include "common/buffer.hpp"

namespace tvk::assembler {

py::object with_dtype(py::handle fn, std::initializer_list<py::handle> args, py::handle dtype) {
    py::object kw = steal(PyDict_New());
    set_item(kw, TVK_NAME("dtype"), dtype);
    return steal(PyObject_Call(fn.ptr(), tuple_of(args).ptr(), kw.ptr()));
}

py::object envelope_samples() {
    return steal(PyNumber_FloorDivide(config(TVK_NAME("envelope_cache")).ptr(), py_int(2).ptr()));
}

namespace {

// Encodes a drive queue straight into its row; the row's size is the bound.
void write_drive_row(unsigned char* row, py::handle queue, py::handle drive_ch) {
    py::object recs = as_tuple(queue);
    const Py_ssize_t n = PyTuple_GET_SIZE(recs.ptr());
    RowWriter w(row, static_cast<size_t>(kDriveRowBytes));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* rec = PyTuple_GET_ITEM(recs.ptr(), i);
        std::uint8_t word[words::kDriveBytes];
        bool fits;
        if (DirectWord d = direct_word(rec, false, word); d.size) {
            fits = w.append(word, d.size);
        } else {
            py::object bytes = steal(PyObject_Bytes(rec));
            fits = w.append(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
        }
        if (!fits)
            raise_error(PyExc_ValueError, "The drive queue of OUT channel " + str_text(drive_ch) + " holds " +
                                              std::to_string(n) + " records, more than its drive row of " +
                                              std::to_string(kDriveRowWords) + " words (" +
                                              std::to_string(kDriveRowBytes / 32) + " drive words) holds");
    }
    if (w.used() % 4 != 0)
        raise_error(PyExc_ValueError, "The drive queue of OUT channel " + str_text(drive_ch) + " encodes to " +
                                          std::to_string(w.used()) + " bytes, not whole 32-bit words");
}

// The probe words of a queue joined, as a bytes object.
py::object join_probe_words(py::handle queue) {
    py::object recs = as_tuple(queue);
    const Py_ssize_t n = PyTuple_GET_SIZE(recs.ptr());
    std::string joined;
    joined.reserve(static_cast<size_t>(n) * words::kProbeBytes);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* rec = PyTuple_GET_ITEM(recs.ptr(), i);
        if (direct_probe_words(rec, joined)) continue;
        py::object part = steal(PyObject_Bytes(rec));
        joined.append(PyBytes_AS_STRING(part.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(part.ptr())));
    }
    return steal(PyBytes_FromStringAndSize(joined.data(), static_cast<Py_ssize_t>(joined.size())));
}

}  // namespace

py::object assemble(const Call& c) {
    static const Signature sig("assemble", {"self"}, 1);
    auto b = bind<1>(sig, c);
    py::handle self = b[0];
    py::object np = py::module_::import("numpy");
    py::object u32 = read_attr(np, TVK_NAME("uint32"));
    py::object ch_map = read_attr(self, TVK_NAME("ch_map"));
    py::object drive_cmdq = read_attr(self, TVK_NAME("drive_cmdq"));
    py::object caches = read_attr(self, TVK_NAME("envelop_cache"));
    py::object env_images = steal(PyDict_New()), drive_images = steal(PyDict_New());

    py::object items = as_tuple(call_method(ch_map, TVK_NAME("items")));
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(items.ptr()); ++k) {
        auto pl = unpack<2>(PyTuple_GET_ITEM(items.ptr(), k));
        py::object drives = as_tuple(pl[1]);
        const Py_ssize_t n = PyTuple_GET_SIZE(drives.ptr());
        py::object shape = tuple_of({py_int(n), py_int(kDriveRowWords)});
        py::object image = with_dtype(read_attr(np, TVK_NAME("zeros")), {shape}, u32);
        BufferView buf;
        if (!buf.acquire_writable(image) || buf.view().len != n * kDriveRowBytes)
            raise_error(PyExc_RuntimeError, "drive image is not a writable contiguous array");
        auto* base = static_cast<unsigned char*>(buf.view().buf);
        py::object rows = steal(PyList_New(0));
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::handle d = PyTuple_GET_ITEM(drives.ptr(), i);
            write_drive_row(base + i * kDriveRowBytes, get_item(drive_cmdq, d), d);
            append(rows, get_item(caches, d));
        }
        set_item(drive_images, pl[0], image);
        py::object envs;
        if (n > 0)
            envs = call(read_attr(np, TVK_NAME("stack")), {rows});
        else
            envs = with_dtype(read_attr(np, TVK_NAME("zeros")), {tuple_of({py_int(0), envelope_samples()})},
                           read_attr(np, TVK_NAME("int16")));
        set_item(env_images, pl[0], envs);
    }

    py::object probe_images = steal(PyDict_New());
    py::object probe_cmdq = read_attr(self, TVK_NAME("probe_cmdq"));
    py::object i32 = read_attr(np, TVK_NAME("int32"));
    py::object keys = as_tuple(probe_cmdq);
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(keys.ptr()); ++k) {
        py::handle p = PyTuple_GET_ITEM(keys.ptr(), k);
        py::object joined = join_probe_words(get_item(probe_cmdq, p));
        set_item(probe_images, p, with_dtype(read_attr(np, TVK_NAME("frombuffer")), {joined}, i32));
    }
    return tuple_of({env_images, drive_images, probe_images});
}

}  // namespace tvk::assembler
