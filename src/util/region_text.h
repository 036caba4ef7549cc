// The text grammar of region strings, shared by alignment and FASTA lookups:
// a name, optionally a colon, a 1-based begin and a hyphen with an end;
// commas and white space are ignored.  Resolving the name against a header or
// an index is left to the caller.
#pragma once

#include <string>

// A region string without white space, split at its last colon when what
// follows is a coordinate part (digits, commas and at most one '-').
struct region_text_t {
    std::string name;    // the name to look up
    std::string coords;  // the coordinate part, commas removed
    bool has_colon;      // when `name` is unknown, the text as given may name a reference
    bool has_coords;
};

region_text_t region_split(const char* str);

// The 1-based begin (0 when empty, a leading '-' is a sign) and the end
// after the first '-' (0 when nothing follows it, `default_end` without '-').
void region_coords(const std::string& coords, long long default_end, long long* beg, long long* end);
