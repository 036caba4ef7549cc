// Splitting region strings into a name and a coordinate part.
#include "util/region_text.h"

#include <cctype>
#include <cstdlib>

namespace {

// A coordinate part holds only digits, commas and at most one '-'.
bool is_coordinate_part(const std::string& s) {
    int hyphens = 0;
    for (char c : s) {
        if (c == '-') ++hyphens;
        else if (!std::isdigit(static_cast<unsigned char>(c)) && c != ',') return false;
    }
    return hyphens <= 1;
}

}  // namespace

region_text_t region_split(const char* str) {
    region_text_t r{str, "", false, false};
    std::string s;
    for (const char* p = str; *p; ++p)
        if (!std::isspace(static_cast<unsigned char>(*p))) s += *p;
    size_t colon = s.rfind(':');
    if (colon == std::string::npos) return r;  // the text as given is the name
    r.has_colon = true;
    r.has_coords = is_coordinate_part(s.substr(colon + 1));
    r.name = r.has_coords ? s.substr(0, colon) : s;
    if (r.has_coords)
        for (char c : s.substr(colon + 1))
            if (c != ',') r.coords += c;
    return r;
}

void region_coords(const std::string& coords, long long default_end, long long* beg, long long* end) {
    *beg = std::strtoll(coords.c_str(), nullptr, 10);
    size_t hyphen = coords.find('-');
    *end = hyphen == std::string::npos ? default_end : std::strtoll(coords.c_str() + hyphen + 1, nullptr, 10);
}
