// Dictionary of SAM header text: typed lines ("@SQ", "@RG", ...) holding
// two-letter tags, with list and lookup-table queries over it.
//
// HD, SQ, RG and PG lines are parsed into tags; CO and unknown types keep
// their text as one tag whose key is two spaces.  Any malformed line
// discards the whole dictionary (the parse returns null).
#pragma once

#include "containers/khash.h"

struct list_t {
    list_t* last;  // in the first node: the last node, for constant-time appends
    list_t* next;
    void* data;
};

struct HeaderTag {
    char key[2];
    char* value;
};

struct HeaderLine {
    char type[2];
    list_t* tags;  // of HeaderTag, in line order
};

// Lookup table from one tag's value to another's; strings are borrowed from
// the dictionary, which must outlive the table.
using sam_tbl_t = kh_str2str_t;

list_t* sam_header_parse2(const char* text);
void sam_header_free(void* dict);
// Values of `key` over all lines of `type` that carry it, in order.  The
// caller frees the returned array only; *n receives the count.
const char** sam_header2list(const list_t* dict, const char type[2], const char key[2], int* n);
sam_tbl_t* sam_header2tbl(const list_t* dict, const char type[2], const char key_tag[2], const char value_tag[2]);
const char* sam_tbl_get(const sam_tbl_t* tbl, const char* key);
void sam_tbl_destroy(void* tbl);
