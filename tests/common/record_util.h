// Building headers and optional fields by hand in tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bam/bam.h"
#include "bam/bam_aux.h"

namespace test_util {

// A header with the given references (length 1000 each), the given text and
// its name map built.
inline bam_header_ptr make_header(const std::vector<std::string>& names, const std::string& text = "") {
    bam_header_ptr h(bam_header_init());
    if (!text.empty()) {
        h->text = strdup(text.c_str());
        h->l_text = h->n_text = text.size();
    }
    h->n_targets = static_cast<int32_t>(names.size());
    h->target_name = static_cast<char**>(std::calloc(names.size() + 1, sizeof(char*)));
    h->target_len = static_cast<uint32_t*>(std::calloc(names.size() + 1, sizeof(uint32_t)));
    for (size_t i = 0; i < names.size(); ++i) {
        h->target_name[i] = strdup(names[i].c_str());
        h->target_len[i] = 1000;
    }
    bam_init_header_hash(h.get());
    return h;
}

template <typename T>
void append_aux(bam1_t* b, const char* tag, char type, T value) {
    ASSERT_EQ(bam_aux_append(b, tag, type, sizeof value, reinterpret_cast<const uint8_t*>(&value)), 0);
}

inline void append_aux_string(bam1_t* b, const char* tag, char type, const std::string& s) {
    ASSERT_EQ(bam_aux_append(b, tag, type, static_cast<int>(s.size() + 1), reinterpret_cast<const uint8_t*>(s.c_str())), 0);
}

template <typename T>
void append_aux_array(bam1_t* b, const char* tag, char sub, const std::vector<T>& values) {
    std::vector<uint8_t> bytes(5 + values.size() * sizeof(T));
    bytes[0] = static_cast<uint8_t>(sub);
    int32_t n = static_cast<int32_t>(values.size());
    std::memcpy(&bytes[1], &n, 4);
    if (!values.empty()) std::memcpy(&bytes[5], values.data(), values.size() * sizeof(T));
    ASSERT_EQ(bam_aux_append(b, tag, 'B', static_cast<int>(bytes.size()), bytes.data()), 0);
}

}  // namespace test_util
