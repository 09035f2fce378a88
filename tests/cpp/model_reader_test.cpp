#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "model/inflate.hpp"
#include "support/puff_reference.hpp"
#include "model/npy.hpp"
#include "model/npy_header.hpp"
#include "model/onnx.hpp"

namespace vora::model {
namespace {

// ---- protobuf bytes by hand ------------------------------------------------

std::string varint(std::uint64_t v) {
    std::string out;
    do {
        out += static_cast<char>((v & 0x7f) | (v > 0x7f ? 0x80 : 0));
        v >>= 7;
    } while (v != 0);
    return out;
}
std::string len(std::uint64_t field, const std::string& payload) {
    return varint(field << 3 | 2) + varint(payload.size()) + payload;
}
std::string num(std::uint64_t field, std::uint64_t v) { return varint(field << 3) + varint(v); }

std::string dim(std::int64_t v) { return len(1, num(1, static_cast<std::uint64_t>(v))); }
std::string dim(const std::string& p) { return len(1, len(2, p)); }
std::string tensor_vi(const std::string& name, int elem, const std::string& dims) {
    return len(1, name) + len(2, len(1, num(1, elem) + len(2, dims)));
}
std::string model(const std::string& graph) { return num(1, 8) + len(7, graph); }

std::string describe(const std::vector<ValueInfo>& values) {
    std::string out;
    for (const auto& v : values) {
        out += " " + v.name + ":" + std::to_string(static_cast<int>(v.kind)) + "/" + std::to_string(v.elem_type);
        if (!v.has_shape) continue;
        out += "[";
        for (const auto& d : v.dims) {
            out += d.kind == DimKind::value ? std::to_string(d.value) : d.kind == DimKind::param ? d.param : "?";
            out += ",";
        }
        out += "]";
    }
    return out;
}
std::string describe(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& n : names) out += " " + n;
    return out;
}
std::string describe(const ModelResult& r) {
    if (!r.ok()) return std::string(to_string(r.error)) + ": " + r.message;
    const Model& m = r.model;
    std::string out = "in" + describe(m.inputs) + " | out" + describe(m.outputs) + " | vi" + describe(m.value_info) +
                      " | init" + describe(m.initializers) + " | node" + describe(m.node_outputs) + " | names" +
                      describe(m.names);
    if (!m.data_files.empty() || m.more_data_files) {
        out += " | files";
        for (const DataFile& file : m.data_files) {
            out += " " + file.location + "[" + std::to_string(file.end) + (file.bad_range ? "?" : "") + "]";
        }
        if (m.more_data_files) out += " +" + std::to_string(m.more_data_files);
    }
    return out;
}

ModelResult read(const std::string& bytes, const ReadOptions& options = {}) {
    MemorySource source(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    return read_onnx(source, options);
}

std::string group(std::uint64_t field, const std::string& inside) {
    return varint(field << 3 | 3) + inside + varint(field << 3 | 4);
}
std::string nested_groups(int depth) {
    std::string out;
    for (int i = 0; i < depth; ++i) out = group(50, out);
    return out;
}
std::string entry(const std::string& key, const std::string& value) { return len(13, len(1, key) + len(2, value)); }
// An initializer of data kept in `location`; data_location as given.
std::string external(const std::string& name, const std::string& location, std::uint64_t data_location = 1) {
    return len(5, len(8, name) + len(13, len(1, "location") + len(2, location)) + num(14, data_location));
}

struct OnnxCase {
    const char* what;
    std::string bytes;
    std::string expected;
};
void PrintTo(const OnnxCase& c, std::ostream* os) { *os << c.what; }

class OnnxBytes : public ::testing::TestWithParam<OnnxCase> {};

TEST_P(OnnxBytes, Reads) { EXPECT_EQ(describe(read(GetParam().bytes)), GetParam().expected); }

const std::string big_name(65537, 'n');

INSTANTIATE_TEST_SUITE_P(
    Cases, OnnxBytes,
    ::testing::Values(
        OnnxCase{"dims of each kind", model(len(11, tensor_vi("x", 1, dim(3) + dim("N") + len(1, "")))),
                 "in x:1/1[3,N,?,] | out | vi | init | node | names x"},
        OnnxCase{"no shape and a scalar",
                 model(len(11, len(1, "a") + len(2, len(1, num(1, 7)))) + len(12, tensor_vi("b", 9, ""))),
                 "in a:1/7 | out b:1/9[] | vi | init | node | names a b"},
        OnnxCase{"negative and large dims", model(len(13, tensor_vi("v", 1, dim(-1) + dim(INT64_MAX)))),
                 "in | out | vi v:1/1[-1,9223372036854775807,] | init | node | names v"},
        OnnxCase{
            "initializer inputs left out, tensor data skipped",
            model(len(5, num(1, 4) + len(9, std::string(5000, '\1')) + len(8, "w")) + len(11, tensor_vi("w", 1, "")) +
                  len(11, tensor_vi("x", 1, "")) + len(15, len(1, len(8, "s") + num(14, 1)))),
            "in x:1/1[] | out | vi | init w s | node | names s w x"},
        OnnxCase{"node outputs, attributes checked and let go",
                 model(len(1, len(1, "x") + len(2, "y") +
                                  len(5, len(1, "value") + len(4, std::string(300, 'z')) + len(5, len(9, "\xff\xff"))) +
                                  len(2, "z"))),
                 "in | out | vi | init | node y z | names y z"},
        OnnxCase{"merged fields: the last name, the last type kind",
                 model(len(13, len(1, "a") + len(2, len(1, num(1, 1) + len(2, dim(2)))) + len(1, "b") +
                                   len(2, len(4, len(1, "")))) +
                       len(11, tensor_vi("c", 1, dim(1)) + len(2, len(1, len(2, dim(2)))))),
                 "in c:1/1[1,2,] | out | vi b:2/0 | init | node | names b c"},
        OnnxCase{"unknown fields of every wire type",
                 varint(99 << 3 | 1) + std::string(8, '\0') + varint(98 << 3 | 5) + std::string(4, '\0') +
                     model(num(40, 5) + len(41, "??") + len(12, tensor_vi("o", 2, ""))),
                 "in | out o:1/2[] | vi | init | node | names o"},
        OnnxCase{"empty file", "", "no_graph: not an ONNX model: the file is empty"},
        OnnxCase{"no graph", num(1, 8) + len(2, "producer"), "no_graph: not an ONNX model: it has no graph"},
        OnnxCase{"graph past the end", "\x3a\x05\x08",
                 "truncated: not an ONNX model: a length of 5 bytes runs past the end of the file (at byte 1)"},
        OnnxCase{"input past its graph", model("\x5a\x09" + len(1, "x")) + num(1, 1),
                 "truncated: not an ONNX model: a length of 9 bytes runs past the end of its message (at byte 5)"},
        OnnxCase{"tag cut", "\x3a\x80", "truncated: not an ONNX model: the file ends inside a field (at byte 2)"},
        OnnxCase{"varint of 11 bytes", "\x08" + std::string(10, '\xff') + "\x01",
                 "malformed: not an ONNX model: a varint longer than 10 bytes (at byte 1)"},
        OnnxCase{"field number 0", std::string(1, '\0'),
                 "malformed: not an ONNX model: field number 0 is out of range (at byte 0)"},
        OnnxCase{"group not closed", "\x0b", "truncated: not an ONNX model: the file ends inside a group (at byte 1)"},
        OnnxCase{"groups skipped as unknown fields",
                 group(60, num(1, 5) + group(61, len(2, "x")) + varint(3 << 3 | 1) + std::string(8, 'f')) +
                     model(group(7, "") + len(12, tensor_vi("o", 1, "") + group(9, num(9, 9)))),
                 "in | out o:1/1[] | vi | init | node | names o"},
        OnnxCase{"groups nested 100 deep", model(len(12, len(1, "o"))) + nested_groups(100),
                 "in | out o:0/0 | vi | init | node | names o"},
        OnnxCase{"groups nested 101 deep", model(len(12, len(1, "o"))) + nested_groups(101),
                 "malformed: not an ONNX model: messages and groups nested more than 100 deep (at byte 211)"},
        OnnxCase{"groups in the graph count its depth", model(len(12, len(1, "o")) + nested_groups(100)),
                 "malformed: not an ONNX model: messages and groups nested more than 100 deep (at byte 210)"},
        OnnxCase{"group ended by another field", model("") + varint(50 << 3 | 3) + varint(51 << 3 | 4),
                 "malformed: not an ONNX model: a group of field 50 ends with field 51 (at byte 6)"},
        OnnxCase{"end of a group never begun", model(len(12, varint(50 << 3 | 4))),
                 "malformed: not an ONNX model: a group of field 50 ends where none began (at byte 6)"},
        OnnxCase{"group past its message", model(varint(50 << 3 | 3)) + varint(50 << 3 | 4),
                 "truncated: not an ONNX model: a group runs past the end of its message (at byte 6)"},
        OnnxCase{"tag of 6 bytes", "\x88\x80\x80\x80\x80\x00" + model(""),
                 "malformed: not an ONNX model: a varint longer than 5 bytes (at byte 0)"},
        OnnxCase{"field number 2^29", varint(std::uint64_t{1} << 32) + "\x01",
                 "malformed: not an ONNX model: field number 536870912 is out of range (at byte 0)"},
        OnnxCase{"field number 2^29 - 1", varint((std::uint64_t{1} << 32) - 8) + "\x01" + model(""),
                 "in | out | vi | init | node | names"},
        OnnxCase{"wire type 7", "\x0f", "malformed: not an ONNX model: wire type 7 does not exist (at byte 0)"},
        // A field of another wire type than its declaration's is an unknown field.
        OnnxCase{"graph as varint", num(7, 1), "no_graph: not an ONNX model: it has no graph"},
        OnnxCase{"elem_type as bytes, names as varints",
                 model(len(11, len(1, "x") + len(2, len(1, len(1, "f") + num(1, 3)))) + len(1, num(2, 7)) + num(11, 1) +
                       len(12, num(1, 4) + len(1, "y"))),
                 "in x:1/3 | out y:0/0 | vi | init | node | names x y"},
        OnnxCase{"name of 65537 bytes", model(len(1, len(2, big_name))),
                 "in | out | vi | init | node " + big_name + " | names " + big_name},
        OnnxCase{"external data, each file once",
                 model(external("a", "w.bin") + external("b", "w.bin") + external("c", "c.bin") +
                       external("d", "d.bin", 0) + external("e", "e.bin", 7)),
                 "in | out | vi | init a b c d e | node | names a b c d e | files w.bin[0] c.bin[0]"},
        OnnxCase{"external data: the last location, an unknown location value ignored",
                 model(len(5, len(8, "a") + num(14, 1) + len(13, len(1, "location") + len(2, "x") + len(2, "y")) +
                                  len(13, len(1, "offset") + len(2, "0")) + num(14, 9)) +
                       len(15, len(1, len(8, "s") + num(14, 1) + len(13, len(1, "location") + len(2, "s"))))),
                 "in | out | vi | init a s | node | names a s | files y[0]"},
        OnnxCase{"external data: what is read of each file, as onnx reads offsets and lengths",
                 model(len(5, len(8, "a") + entry("location", "w.bin") + entry("offset", "100") +
                                  entry("length", "50") + num(14, 1)) +
                       len(5, len(8, "b") + entry("location", "w.bin") + entry("offset", " +1_0\t") +
                                  entry("length", "5") + num(14, 1)) +
                       len(5, len(8, "c") + entry("location", "v.bin") + entry("length", "99999999999999999999") +
                                  num(14, 1)) +
                       len(5, len(8, "d") + entry("location", "u.bin") + entry("offset", "-0") + num(14, 1)) +
                       len(5, len(8, "e") + entry("location", "u.bin") + entry("offset", "1__0") + num(14, 1)) +
                       len(5, len(8, "f") + entry("location", "t.bin") + entry("length", "-1") + num(14, 1))),
                 "in | out | vi | init a b c d e f | node | names a b c d e f | files w.bin[150] "
                 "v.bin[18446744073709551615] u.bin[0?] t.bin[0?]"}));

TEST(OnnxSize, OverTwoGiBIsRefusedUnread) {
    class Huge final : public ByteSource {
    public:
        std::uint64_t size() const override { return max_model_bytes + 1; }
        std::size_t read(std::uint64_t, std::span<std::uint8_t>) override {
            ++reads;
            return 0;
        }
        int reads = 0;
    } huge;
    EXPECT_EQ(describe(read_onnx(huge)),
              "too_large: not an ONNX model: it is 2147483648 bytes, over protobuf's limit of 2 GiB (2147483647 "
              "bytes); a model that large keeps its weights in external data files");
    EXPECT_EQ(huge.reads, 0);
}

// A check's read: the wanted names' value_info, whether each is a value,
// a sample of the others, the first dimensions of each value.
TEST(OnnxWanted, KeepsWhatChecksNeed) {
    std::string dims;
    for (int i = 0; i < 70; ++i) dims += dim(i + 1);
    std::string nodes;
    for (int i = 0; i < 1100; ++i) nodes += len(1, len(2, "n" + std::to_string(i)));
    const std::string bytes = model(
        external("x", "w.bin") + len(5, len(8, "w")) + nodes + len(1, len(2, "wanted_node") + len(2, big_name)) +
        len(11, tensor_vi("x", 1, "")) + len(11, tensor_vi("in", 1, dims)) + len(12, tensor_vi("out", 7, dim(2))) +
        len(13, tensor_vi("v", 1, dim(5))) + len(13, tensor_vi("in", 1, dim(3))) + len(13, tensor_vi("v", 2, "")));
    const std::vector<std::string> wanted = {"in", "v", "wanted_node", "w", "nowhere", big_name};
    const ModelResult r = read(bytes, ReadOptions{&wanted});
    ASSERT_TRUE(r.ok()) << r.message;
    const Model& m = r.model;
    ASSERT_EQ(m.inputs.size(), 1u);  // x is an initializer, read before it
    EXPECT_EQ(m.inputs[0].rank, 70u);
    EXPECT_EQ(m.inputs[0].dims.size(), max_kept_dims);
    EXPECT_EQ(m.inputs[0].dims.back().value, 64);
    EXPECT_EQ(describe(m.outputs) + " |" + describe(m.value_info), " out:1/7[2,] | v:1/1[5,] in:1/1[3,]");
    EXPECT_EQ(m.initializers, std::vector<std::string>{"w"});  // of the wanted names only
    EXPECT_TRUE(m.node_outputs.empty());
    EXPECT_EQ(m.data_files, std::vector<DataFile>{{"w.bin"}});
    // inputs, outputs, the wanted values, and the first 1000 other names
    EXPECT_EQ(m.names.size(), 6 + max_sample_names);
    for (const char* name : {"in", "out", "v", "wanted_node", "w", "n0", "n999"}) {
        EXPECT_TRUE(std::binary_search(m.names.begin(), m.names.end(), name)) << name;
    }
    for (const char* name : {"n1000", "nowhere", "x"}) {
        EXPECT_FALSE(std::binary_search(m.names.begin(), m.names.end(), name)) << name;
    }
    EXPECT_TRUE(std::binary_search(m.names.begin(), m.names.end(), big_name));
    // Read without `wanted`, the same bytes give every value.
    const ModelResult all = read(bytes);
    ASSERT_TRUE(all.ok());
    EXPECT_EQ(all.model.inputs[0].dims.size(), 70u);
    EXPECT_EQ(all.model.value_info.size(), 3u);
    EXPECT_EQ(all.model.names.size(), 1100u + 7);
}

// ---- npy headers -------------------------------------------------------------

std::vector<std::uint8_t> npy(int version, const std::string& text) {
    std::vector<std::uint8_t> out = {0x93, 'N', 'U', 'M', 'P', 'Y', static_cast<std::uint8_t>(version), 0};
    const std::size_t n = text.size();
    out.push_back(static_cast<std::uint8_t>(n));
    out.push_back(static_cast<std::uint8_t>(n >> 8));
    if (version != 1) out.insert(out.end(), {static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)});
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

struct NpyCase {
    const char* what;
    std::vector<std::uint8_t> bytes;
    std::string expected;
};
void PrintTo(const NpyCase& c, std::ostream* os) { *os << c.what; }

class NpyHeader : public ::testing::TestWithParam<NpyCase> {};

TEST_P(NpyHeader, Parses) {
    NpyArray array;
    std::string reason;
    std::string got = "error: ";
    if (parse_npy_header(GetParam().bytes, array, reason)) {
        got = array.dtype + (array.fortran_order ? " F" : " C");
        for (auto d : array.shape) {
            got += ' ';
            got += std::to_string(d);
        }
    } else {
        got += reason;
    }
    EXPECT_EQ(got, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NpyHeader,
    ::testing::Values(
        NpyCase{"as numpy writes it", npy(1, "{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3), }      \n"),
                "<f4 C 2 3"},
        NpyCase{"scalar, another key order", npy(2, "{\"shape\": (), \"fortran_order\": True, \"descr\": '|b1'}\n"),
                "|b1 F"},
        NpyCase{"one dimension, long suffix", npy(1, "{'descr': '>i8', 'fortran_order': False, 'shape': (5L,)}"),
                ">i8 C 5"},
        NpyCase{"long suffix in version 3", npy(3, "{'descr': '>i8', 'fortran_order': False, 'shape': (5L,)}"),
                "error: the header is no Python literal (a malformed number)"},
        NpyCase{"structured descr kept as written",
                npy(1, "{'descr': [('a', '<i4'), ('b]', '<f8', (2,))], 'fortran_order': False, 'shape': (1,)}"),
                "[('a', '<i4'), ('b]', '<f8', (2,))] C 1"},
        NpyCase{"largest dimension", npy(1, "{'descr': 'u1', 'fortran_order': False, 'shape': (9223372036854775807,)}"),
                "u1 C 9223372036854775807"},
        NpyCase{"dimension past int64",
                npy(1, "{'descr': 'u1', 'fortran_order': False, 'shape': (9223372036854775808,)}"),
                "error: a dimension of the header's shape is too large"},
        NpyCase{"dimension overflow",
                npy(1, "{'descr': 'u1', 'fortran_order': False, 'shape': (18446744073709551616,)}"),
                "error: a dimension of the header's shape is too large"},
        NpyCase{"elements past int64",
                npy(1, "{'descr': 'u1', 'fortran_order': False, 'shape': (4294967296, 4294967296)}"),
                "error: the header's shape has more than 2^63 - 1 elements"},
        NpyCase{"elements past int64 but for a dimension 0",
                npy(1, "{'descr': 'u1', 'fortran_order': False, 'shape': (4294967296, 0, 4294967296)}"),
                "error: the header's shape has more than 2^63 - 1 elements"},
        NpyCase{"a dimension 0",
                npy(1, "{'descr': 'u1', 'fortran_order': False, 'shape': (2147483648, 2147483648, 0)}"),
                "u1 C 2147483648 2147483648 0"},
        NpyCase{"bytes past int64 but for a dimension 0",
                npy(1, "{'descr': '<f4', 'fortran_order': False, 'shape': (2147483648, 2147483648, 0)}"),
                "error: the array would take more than 2^63 - 1 bytes"},
        NpyCase{"too many dimensions",
                npy(
                    1, "{'descr': 'u1', 'fortran_order': False, 'shape': (" +
                           [] {
                               std::string s;
                               for (int i = 0; i < 65; ++i) s += "1,";
                               return s;
                           }() +
                           ")}"),
                "error: the header's shape has more than 64 dimensions"},
        NpyCase{"missing key", npy(1, "{'descr': '<f4', 'shape': ()}"), "error: the header has no fortran_order"},
        NpyCase{"extra key", npy(1, "{'descr': '<f4', 'fortran_order': False, 'shape': (), 'x': 1}"),
                "error: the header has an unexpected key 'x'"},
        NpyCase{"negative dimension", npy(1, "{'descr': '<f4', 'fortran_order': False, 'shape': (-1,)}"),
                "error: the header's shape has a negative dimension"},
        NpyCase{"Python literal forms",
                npy(2,
                    "\n{'de' \"scr\": r'<f4', # a comment\n 'fortran_order': (False),\\\n"
                    "'shape': (1_0, 0x1f, 0o7, 0b11, -0, +2,),}\n"),
                "<f4 C 10 31 7 3 0 2"},
        NpyCase{"escapes in strings", npy(1, "{'descr': '\\x3c\\u0066\\64', 'fortran_order': False, 'shape': ()}"),
                "<f4 C"},
        NpyCase{"a repeated key: the last holds",
                npy(1,
                    "{'descr': 'bad', 'descr': '<i2', 'fortran_order': 0, "
                    "'fortran_order': True, 'shape': (1,)}"),
                "<i2 F 1"},
        NpyCase{"shape an int", npy(1, "{'descr': '<f4', 'fortran_order': False, 'shape': (3)}"),
                "error: the header's shape is not a tuple of integers"},
        NpyCase{"shape of bools", npy(1, "{'descr': '<f4', 'fortran_order': False, 'shape': (True,)}"),
                "error: the header's shape is not a tuple of integers"},
        NpyCase{"leading zero", npy(1, "{'descr': '<f4', 'fortran_order': False, 'shape': (03,)}"),
                "error: the header is no Python literal (a leading zero)"},
        NpyCase{"indented first line", npy(1, "\n {'descr': '<f4', 'fortran_order': False, 'shape': ()}"),
                "error: the header is no Python literal (an unexpected indent)"},
        NpyCase{"a name", npy(1, "{'descr': float32, 'fortran_order': False, 'shape': ()}"),
                "error: the header is no Python literal (a name)"},
        NpyCase{"bytes key", npy(1, "{b'descr': '<f4', 'fortran_order': False, 'shape': ()}"),
                "error: a key of the header is not a string"},
        NpyCase{"unknown descr", npy(1, "{'descr': 'garbage', 'fortran_order': False, 'shape': ()}"),
                "error: the header's descr 'garbage' is not a dtype numpy knows"},
        NpyCase{"objects", npy(1, "{'descr': '<O', 'fortran_order': False, 'shape': ()}"),
                "error: the array holds Python objects (descr '<O'), which numpy.load reads only with allow_pickle"},
        NpyCase{"subarray", npy(1, "{'descr': ('<f4', (2,)), 'fortran_order': False, 'shape': (3,)}"),
                "error: numpy.load reads no array of the subarray descr ('<f4', (2,)) (its elements do not match "
                "the shape)"},
        NpyCase{"subarray of one element", npy(1, "{'descr': '(1,)f4', 'fortran_order': False, 'shape': (3,)}"),
                "(1,)f4 C 3"},
        NpyCase{"structured, a name twice",
                npy(1,
                    "{'descr': [('a', '<i4'), ('a', '<i4')], 'fortran_order': False, "
                    "'shape': ()}"),
                "error: the header's descr [('a', '<i4'), ('a', '<i4')] is not a dtype numpy knows"},
        NpyCase{"10000 characters",
                npy(2, "{'descr': '<f4', 'fortran_order': False, 'shape': ()}" + std::string(9947, ' ')), "<f4 C"},
        NpyCase{"10001 characters",
                npy(2, "{'descr': '<f4', 'fortran_order': False, 'shape': ()}" + std::string(9948, ' ')),
                "error: a header of 10001 characters (numpy.load reads at most 10000)"},
        NpyCase{"version 3: characters, not bytes",
                npy(
                    3, "{'descr': '<f4', 'fortran_order': False, 'shape': ()}#" +
                           [] {
                               std::string s;
                               for (int i = 0; i < 5000; ++i) s += "\xc3\xa9";
                               return s;
                           }()),
                "<f4 C"},
        NpyCase{"not a dictionary", npy(1, "['descr']"), "error: the header is not a dictionary"},
        NpyCase{"unclosed", npy(1, "{'descr': '<f4'"), "error: the header is no Python literal (an unclosed bracket)"},
        NpyCase{"version 4", npy(4, "{}"), "error: npy format version 4.0 is not known"},
        NpyCase{"length past the end",
                [] {
                    auto b = npy(1, "{}");
                    b[8] = 200;
                    return b;
                }(),
                "error: the header runs past the end of the data"},
        NpyCase{
            "cut in the preamble", {0x93, 'N', 'U', 'M', 'P', 'Y', 2, 0, 1, 0, 0}, "error: the header is cut short"},
        NpyCase{"no magic", {'N', 'U', 'M', 'P', 'Y', 1, 0, 0, 0, 0}, "error: no npy magic"}));

// ---- zip structure -------------------------------------------------------------

std::vector<std::uint8_t> end_record(std::uint16_t count, std::uint32_t size, std::uint32_t offset) {
    std::vector<std::uint8_t> e = {'P', 'K', 5, 6, 0, 0, 0, 0};
    for (std::uint32_t v : {std::uint32_t(count) | std::uint32_t(count) << 16, size, offset}) {
        for (int i = 0; i < 4; ++i) e.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    e.insert(e.end(), {0, 0});
    return e;
}

TEST(NpzArchive, BrokenDirectories) {
    const std::vector<std::pair<std::vector<std::uint8_t>, std::string>> cases = {
        {end_record(0, 0, 0), "ok 0"},
        {end_record(1, 46, 0), "bad_archive: not an npy/npz file: the central directory would start before the file"},
        {end_record(3, 46, 0), "bad_archive: not an npy/npz file: the central directory would start before the file"},
        {end_record(2, 20, 0), "bad_archive: not an npy/npz file: the central directory would start before the file"},
        // The count is not read (zipfile reads the directory to its size): an empty archive.
        {end_record(0xffff, 0, 0), "ok 0"},
        {{'P', 'K', 3, 4, 0, 0}, "bad_archive: not an npy/npz file: no end of central directory record"},
    };
    for (const auto& [bytes, expected] : cases) {
        MemorySource source(bytes);
        const ArraysResult r = read_arrays(source);
        EXPECT_EQ(r.ok() ? "ok " + std::to_string(r.arrays.size()) : std::string(to_string(r.error)) + ": " + r.message,
                  expected);
    }
}

// ---- files: opened at once, and only when they are regular files ----------

TEST(FileSource, OpensRegularFilesOnlyAndNeverWaits) {
    char made[] = "/tmp/vora-source-XXXXXX";
    ASSERT_NE(::mkdtemp(made), nullptr);
    const std::string folder = made, fifo = folder + "/fifo", file = folder + "/file";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // no writer: a blocking open would wait for ever
    std::ofstream(file, std::ios::binary) << "abc";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {file, ""},
        {fifo, "not a regular file (a FIFO)"},
        {"/dev/zero", "not a regular file (a character device)"},
        {folder, "not a regular file (a folder)"},
        {folder + "/none", "No such file or directory"},
        {file + std::string(1, '\0') + "x", "its name holds a NUL byte"},  // not `file`, the bytes before it
    };
    for (const auto& [path, error] : cases) {
        FileSource source(path);
        EXPECT_EQ(source.error(), error) << path;
        EXPECT_EQ(source.size(), error.empty() ? 3u : 0u) << path;
    }
    ::unlink(fifo.c_str());
    ::unlink(file.c_str());
    ::rmdir(folder.c_str());
}

// ---- type strings, as numpy.dtype takes them ------------------------------------------

TEST(NpyTypeString, AsNumpyTakesThem) {
    // "ok", "objects" or "no", as numpy 2.4's numpy.dtype answers.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"<f4", "ok"},
        {">i8", "ok"},
        {"|u1", "ok"},
        {"=f4", "ok"},
        {"f04", "ok"},
        {"u001", "ok"},
        {"b1", "ok"},
        {"?", "ok"},
        {"c", "ok"},
        {"c32", "ok"},
        {"g", "ok"},
        {"S", "ok"},
        {"S00", "ok"},
        {"a5", "ok"},
        {"U536870911", "ok"},
        {"U536870912", "no"},
        {"S2147483647", "ok"},
        {"S2147483648", "no"},
        {"V", "ok"},
        {"float32", "ok"},
        {"<float32", "no"},
        {"int", "ok"},
        {"void", "ok"},
        {"<void", "no"},
        {"bool8", "no"},
        {"M8", "ok"},
        {"M8[ns]", "ok"},
        {"<m8[D]", "ok"},
        {"M8[25ns]", "ok"},
        {"M8[us/2]", "ok"},
        {"M8[generic]", "ok"},
        {"M8[\xce\xbcs]", "ok"},
        {"M8[B]", "no"},
        {"M8[]", "no"},
        {"M[s]", "no"},
        {"M16", "no"},
        {"datetime64[ns]", "ok"},
        {"O", "objects"},
        {"|O", "objects"},
        {"<O8", "objects"},
        {"O16", "no"},
        {"object", "objects"},
        {"T", "objects"},
        {"T4", "no"},
        {"f4,O", "objects"},
        {"u", "no"},
        {"i0", "no"},
        {"i16", "no"},
        {"f12", "no"},
        {"e2", "no"},
        {"?1", "no"},
        {"b2", "no"},
        {"", "no"},
        {" ", "no"},
        {"f4 ", "no"},
        {"<<f4", "no"},
        {"<|f4", "no"},
        {"garbage", "no"},
        {"f4,i4", "ok"},
        {"f4, i4", "ok"},
        {"f4 ,i4", "ok"},
        {"f4,", "ok"},
        {"f4,,i4", "no"},
        {",f4", "no"},
        {"3f4", "ok"},
        {"2 f4", "ok"},
        {"(2,)f4", "ok"},
        {"(2,3) f4", "ok"},
        {"<2f4", "ok"},
        {"2<f4", "ok"},
        {"(2)f4", "no"},
        {"(-1,)f4", "no"},
        {"2", "no"},
    };
    for (const auto& [text, expected] : cases) {
        bool objects = false;
        const bool valid = valid_type_string(text, objects);
        EXPECT_EQ(!valid ? "no" : objects ? "objects" : "ok", expected) << "'" << text << "'";
    }
}

// ---- inflate -------------------------------------------------------------------------------

class BitWriter {
public:
    void put(std::uint32_t value, int count) {
        for (int i = 0; i < count; ++i) bit((value >> i) & 1);
    }
    void code(std::uint32_t code, int length) {  // Huffman codes go from the high bit
        for (int i = length - 1; i >= 0; --i) bit((code >> i) & 1);
    }
    void align() {
        while (n_ % 8 != 0) bit(0);
    }
    std::vector<std::uint8_t> bytes;

private:
    void bit(std::uint32_t b) {
        if (n_ % 8 == 0) bytes.push_back(0);
        bytes.back() = static_cast<std::uint8_t>(bytes.back() | (b << (n_ % 8)));
        ++n_;
    }
    std::size_t n_ = 0;
};

// A dynamic block that writes nothing (its only literal/length code is end-of-block).
void empty_block(BitWriter& w) {
    w.put(0, 1), w.put(2, 2), w.put(0, 5), w.put(0, 5), w.put(14, 4);
    for (int symbol : {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1}) {
        w.put(symbol == 1 || symbol == 18, 3);
    }
    w.code(1, 1), w.put(127, 7), w.code(1, 1), w.put(107, 7), w.code(0, 1), w.code(0, 1), w.code(0, 1);
}

// Fixed-code literals, then a match of `length` at `distance` (both small), then end-of-block.
void fixed_block(BitWriter& w, const std::string& literals, int length, int distance, bool last) {
    w.put(last, 1), w.put(1, 2);
    for (const unsigned char c : literals) c < 144 ? w.code(0x30 + c, 8) : w.code(0x190 + c - 144, 9);
    if (length > 0) {
        w.code(length - 3 + 1, 7);                            // lengths 3 to 10 are codes 257 to 264, no extra bits
        w.code(static_cast<std::uint32_t>(distance - 1), 5);  // distances 1 to 4, no extra bits
    }
    w.code(0, 7);
}

void stored_block(BitWriter& w, const std::string& content, bool last) {
    w.put(last, 1), w.put(0, 2), w.align();
    const auto n = static_cast<std::uint32_t>(content.size());
    w.put(n, 16), w.put(~n & 0xffff, 16);
    for (const unsigned char c : content) w.put(c, 8);
}

struct Inflated {
    InflateStatus status;
    std::string out;
    std::uint64_t consumed;
    std::string reason;
};

Inflated inflate(const std::vector<std::uint8_t>& stream, const std::vector<std::size_t>& wants,
                 std::uint64_t budget = 1 << 20) {
    MemorySource source(stream);
    Inflater inflater(source, 0, stream.size(), budget);
    Inflated r{InflateStatus::ok, "", 0, ""};
    for (std::size_t want : wants) {
        r.status = inflater.fill(want, r.reason);
        if (r.status != InflateStatus::ok) break;
    }
    r.out.assign(inflater.output().begin(), inflater.output().end());
    r.consumed = inflater.consumed();
    return r;
}

TEST(Inflate, BlocksAsPuffReadsThem) {
    BitWriter w;
    fixed_block(w, "abc", 6, 3, false);  // abcabcabc
    empty_block(w);
    stored_block(w, "-stored-", false);
    fixed_block(w, "\xff!", 4, 1, true);  // \xff!!!!!
    std::vector<std::uint8_t> reference;
    ASSERT_EQ(puff_whole(w.bytes, 100, reference), 0);
    const Inflated whole = inflate(w.bytes, {1000});
    EXPECT_EQ(whole.status, InflateStatus::ok);
    EXPECT_EQ(whole.out, std::string(reference.begin(), reference.end()));
    EXPECT_EQ(whole.out, "abcabcabc-stored-\xff!!!!!");
    // Asked for in steps, the same bytes; a step stops inside a match or a stored block.
    EXPECT_EQ(inflate(w.bytes, {4, 11, 30}).out, whole.out);
    EXPECT_EQ(inflate(w.bytes, {4}).out, "abca");
}

TEST(Inflate, ReadsOnlyWhatTheBytesAskedForTake) {
    BitWriter w;
    stored_block(w, "header", false);
    for (int i = 0; i < 40000; ++i) empty_block(w);  // 450 KB that write nothing
    stored_block(w, "data", true);
    const Inflated head = inflate(w.bytes, {6});
    EXPECT_EQ(head.out, "header");
    EXPECT_LE(head.consumed, 512u);  // the first read
    const Inflated all = inflate(w.bytes, {6, 100});
    EXPECT_EQ(all.out, "headerdata");
    EXPECT_EQ(all.consumed, w.bytes.size());
    // A budget spent is no verdict on the stream.
    const Inflated spent = inflate(w.bytes, {100}, 100000);
    EXPECT_EQ(spent.status, InflateStatus::over_budget);
    EXPECT_EQ(spent.out, "header");
}

TEST(Inflate, BrokenStreams) {
    auto with = [](auto write) {
        BitWriter w;
        write(w);
        return inflate(w.bytes, {1000});
    };
    const std::vector<std::pair<Inflated, std::string>> cases = {
        {with([](BitWriter& w) { w.put(1, 1), w.put(3, 2), w.put(0, 5); }),
         "its deflated data is broken (a block of type 3)"},
        {with([](BitWriter& w) { fixed_block(w, "ab", 3, 4, true); }),
         "its deflated data is broken (a distance too far back)"},
        {with([](BitWriter& w) { stored_block(w, "abc", true), w.bytes.pop_back(); }), "its deflated data ends early"},
        {with([](BitWriter& w) { fixed_block(w, "abc", 0, 0, false); }), "its deflated data ends early"},
        {with([](BitWriter& w) { w.put(1, 1), w.put(0, 2), w.align(), w.put(5, 16), w.put(5, 16); }),
         "its deflated data is broken (a stored block's length is not checked by its complement)"},
    };
    for (const auto& [r, reason] : cases) {
        EXPECT_EQ(r.status, InflateStatus::broken);
        EXPECT_EQ(r.reason, reason);
    }
}

// An archive of `members` deflated members whose local headers all lead to
// one stream of `blocks` empty blocks and then `npy`.
std::vector<std::uint8_t> shared_stream(int members, int blocks, const std::vector<std::uint8_t>& npy) {
    BitWriter w;
    for (int i = 0; i < blocks; ++i) empty_block(w);
    stored_block(w, std::string(npy.begin(), npy.end()), true);
    std::vector<std::uint8_t> out, central;
    auto le = [](std::vector<std::uint8_t>& v, std::uint64_t x, int n) {
        for (int i = 0; i < n; ++i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
    };
    const std::uint64_t start = static_cast<std::uint64_t>(members) * (30 + 6);
    for (int i = 0; i < members; ++i) {
        const std::string name = "a" + std::to_string(i % 10) + ".npy";
        const std::uint64_t at = out.size();
        for (auto* v : {&out, &central}) {
            le(*v, v == &out ? 0x04034b50 : 0x02014b50, 4);
            if (v == &central) le(*v, 20, 2);
            le(*v, 20, 2), le(*v, 0, 2), le(*v, 8, 2), le(*v, 0, 4), le(*v, 0, 4);  // version, flags, method, time, crc
            le(*v, w.bytes.size(), 4), le(*v, npy.size(), 4), le(*v, name.size(), 2);
            le(*v, v == &out ? start - at - 30 - name.size() : 0, 2);
            if (v == &central) le(*v, 0, 6), le(*v, 0, 4), le(*v, at, 4);  // comment, disk, attributes
            v->insert(v->end(), name.begin(), name.end());
        }
    }
    const std::uint64_t cd = start + w.bytes.size();
    out.insert(out.end(), w.bytes.begin(), w.bytes.end());
    out.insert(out.end(), central.begin(), central.end());
    le(out, 0x06054b50, 4), le(out, 0, 4), le(out, members, 2), le(out, members, 2);
    le(out, central.size(), 4), le(out, cd, 4), le(out, 0, 2);
    return out;
}

TEST(NpzArchive, MembersSharingAStreamInflateItOnce) {
    const std::vector<std::uint8_t> npy_bytes = npy(1, "{'descr': '<f4', 'fortran_order': False, 'shape': (1, 3)}");
    const std::vector<std::uint8_t> archive = shared_stream(10, 4000, npy_bytes);
    MemorySource source(archive);
    const ArraysResult r = read_arrays(source);
    ASSERT_TRUE(r.ok()) << r.message;
    ASSERT_EQ(r.arrays.size(), 10u);
    for (const NpyArray& a : r.arrays) {
        EXPECT_EQ(a.shape, (std::vector<std::uint64_t>{1, 3}));
        EXPECT_TRUE(a.header_read);
    }
    // With a budget the stream does not fit: nothing is refused, no header is judged.
    const ArraysResult spent = read_arrays(source, 20000);
    ASSERT_TRUE(spent.ok()) << spent.message;
    ASSERT_EQ(spent.arrays.size(), 10u);
    for (const NpyArray& a : spent.arrays) EXPECT_FALSE(a.header_read);
    EXPECT_EQ(spent.arrays[9].name, "a9");
}

}  // namespace
}  // namespace vora::model
