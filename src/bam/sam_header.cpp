// Parsing header text into a dictionary, and the queries over it.
#include "bam/sam_header.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

struct tag_rules {
    const char* type;
    bool structured;
};
// Types whose fields are tags; everything else (CO, unknown) is free text.
constexpr tag_rules known_types[] = {{"HD", true}, {"SQ", true}, {"RG", true}, {"PG", true}, {"CO", false}};

bool is_structured(std::string_view type) {
    for (const auto& t : known_types)
        if (type == t.type) return t.structured;
    return false;
}

list_t* list_append(list_t* root, void* data) {
    auto* node = static_cast<list_t*>(std::calloc(1, sizeof(list_t)));
    if (!node) return nullptr;
    node->data = data;
    if (!root) {
        node->last = node;
        return node;
    }
    root->last->next = node;
    root->last = node;
    return root;
}

void free_tags(list_t* tags) {
    while (tags) {
        auto* tag = static_cast<HeaderTag*>(tags->data);
        std::free(tag->value);
        std::free(tag);
        list_t* next = tags->next;
        std::free(tags);
        tags = next;
    }
}

void free_line(HeaderLine* line) {
    if (!line) return;
    free_tags(line->tags);
    std::free(line);
}

bool append_tag(HeaderLine* line, const char key[2], std::string_view value) {
    auto* tag = static_cast<HeaderTag*>(std::calloc(1, sizeof(HeaderTag)));
    if (!tag) return false;
    tag->key[0] = key[0];
    tag->key[1] = key[1];
    tag->value = static_cast<char*>(std::malloc(value.size() + 1));
    if (!tag->value) {
        std::free(tag);
        return false;
    }
    // A short field's value is an empty view whose data() may be null, which
    // memcpy must not see even for zero bytes.
    if (!value.empty()) std::memcpy(tag->value, value.data(), value.size());
    tag->value[value.size()] = 0;
    list_t* tags = list_append(line->tags, tag);
    if (!tags) {
        std::free(tag->value);
        std::free(tag);
        return false;
    }
    line->tags = tags;
    return true;
}

const HeaderTag* find_tag(const HeaderLine* line, const char key[2]) {
    for (const list_t* l = line->tags; l; l = l->next) {
        auto* tag = static_cast<const HeaderTag*>(l->data);
        if (tag->key[0] == key[0] && tag->key[1] == key[1]) return tag;
    }
    return nullptr;
}

size_t count_tabs(std::string_view s, size_t from) {
    size_t n = 0;
    while (from + n < s.size() && s[from + n] == '\t') ++n;
    return n;
}

// Parses one line (without terminator); null after a message when malformed.
HeaderLine* parse_line(std::string_view s) {
    std::string shown(s);  // NUL-terminated copy for the messages
    if (s.empty() || s[0] != '@') {
        std::fprintf(stderr, "[sam_header_line_parse] expected '@', got [%s]\n", shown.c_str());
        return nullptr;
    }
    size_t type_end = s.find('\t', 1);
    if (type_end == std::string_view::npos) type_end = s.size();
    if (type_end - 1 != 2) {
        std::fprintf(stderr, "[sam_header_line_parse] expected '@XY', got [%s]\nHint: The header tags must be tab-separated.\n",
                     shown.c_str());
        return nullptr;
    }
    size_t tabs = count_tabs(s, type_end);
    if (tabs != 1) {
        std::fprintf(stderr, "[sam_header_line_parse] multiple tabs on line [%s] (%d)\n", shown.c_str(), static_cast<int>(tabs));
        return nullptr;
    }
    auto* line = static_cast<HeaderLine*>(std::calloc(1, sizeof(HeaderLine)));
    if (!line) return nullptr;
    line->type[0] = s[1];
    line->type[1] = s[2];
    size_t pos = type_end + 1;
    if (!is_structured(s.substr(1, 2))) {
        if (!append_tag(line, "  ", s.substr(pos))) {
            free_line(line);
            return nullptr;
        }
        return line;
    }
    while (pos < s.size()) {
        size_t field_end = s.find('\t', pos);
        if (field_end == std::string_view::npos) field_end = s.size();
        std::string_view field = s.substr(pos, field_end - pos);
        // A field too short for "XY:" keeps what it has as key and no value.
        char key[2] = {field.size() > 0 ? field[0] : '\0', field.size() > 1 ? field[1] : '\0'};
        std::string_view value = field.size() > 3 ? field.substr(3) : std::string_view();
        if (find_tag(line, key))
            std::fprintf(stderr, "The tag '%c%c' present (at least) twice on line [%s]\n", key[0], key[1], shown.c_str());
        if (!append_tag(line, key, value)) {
            free_line(line);
            return nullptr;
        }
        size_t gap = count_tabs(s, field_end);
        if (gap > 1 && field_end + gap < s.size()) {
            std::fprintf(stderr, "[sam_header_line_parse] multiple tabs on line [%s] (%d)\n", shown.c_str(),
                         static_cast<int>(gap));
            free_line(line);
            return nullptr;
        }
        pos = field_end + gap;
    }
    return line;
}

}  // namespace

list_t* sam_header_parse2(const char* text) {
    if (!text || !*text) return nullptr;
    list_t* dict = nullptr;
    const char* p = text;
    while (*p) {
        const char* e = p;
        while (*e && *e != '\n' && *e != '\r') ++e;
        HeaderLine* line = parse_line(std::string_view(p, e - p));
        if (!line) {
            sam_header_free(dict);
            return nullptr;
        }
        list_t* grown = list_append(dict, line);
        if (!grown) {
            std::fprintf(stderr, "[nextline] Insufficient memory!\n");
            free_line(line);
            return dict;
        }
        dict = grown;
        // After "\n" or "\r\n" the next line follows the terminator; a lone
        // "\r" starts an empty line, which is malformed.
        if (*e == '\n') p = e + 1;
        else if (*e == '\r' && e[1] == '\n') p = e + 2;
        else p = e;
    }
    return dict;
}

void sam_header_free(void* dict) {
    auto* l = static_cast<list_t*>(dict);
    while (l) {
        free_line(static_cast<HeaderLine*>(l->data));
        list_t* next = l->next;
        std::free(l);
        l = next;
    }
}

const char** sam_header2list(const list_t* dict, const char type[2], const char key[2], int* n) {
    const char** out = nullptr;
    int count = 0, cap = 0;
    for (const list_t* l = dict; l; l = l->next) {
        auto* line = static_cast<const HeaderLine*>(l->data);
        if (line->type[0] != type[0] || line->type[1] != type[1]) continue;
        const HeaderTag* tag = find_tag(line, key);
        if (!tag) continue;
        if (count == cap) {
            cap = cap ? cap * 2 : 4;
            auto* grown = static_cast<const char**>(std::realloc(out, sizeof(char*) * cap));
            if (!grown) break;
            out = grown;
        }
        out[count++] = tag->value;
    }
    *n = count;
    if (!count) {
        std::free(out);
        return nullptr;
    }
    return out;
}

sam_tbl_t* sam_header2tbl(const list_t* dict, const char type[2], const char key_tag[2], const char value_tag[2]) {
    auto* tbl = new sam_tbl_t;
    for (const list_t* l = dict; l; l = l->next) {
        auto* line = static_cast<const HeaderLine*>(l->data);
        if (line->type[0] != type[0] || line->type[1] != type[1]) continue;
        const HeaderTag* key = find_tag(line, key_tag);
        const HeaderTag* value = find_tag(line, value_tag);
        if (!key || !value) continue;
        int ret;
        khint_t k = tbl->put(key->value, &ret);
        if (ret == 0) std::fprintf(stderr, "[sam_header_lookup_table] They key %s not unique.\n", key->value);
        tbl->value(k) = value->value;
    }
    return tbl;
}

const char* sam_tbl_get(const sam_tbl_t* tbl, const char* key) {
    if (!tbl) return nullptr;
    khint_t k = tbl->get(key);
    return k == tbl->end() ? nullptr : tbl->value(k);
}

void sam_tbl_destroy(void* tbl) { delete static_cast<sam_tbl_t*>(tbl); }
