// Bucket counts of the hash tables: each entry is a prime roughly twice the one before.
#include "containers/khash.h"

const khint_t kh_prime_list[kh_prime_count] = {
    0U,        3U,         11U,        23U,        53U,        97U,         193U,        389U,
    769U,      1543U,      3079U,      6151U,      12289U,     24593U,      49157U,      98317U,
    196613U,   393241U,    786433U,    1572869U,   3145739U,   6291469U,    12582917U,   25165843U,
    50331653U, 100663319U, 201326611U, 402653189U, 805306457U, 1610612741U, 3221225473U, 4294967291U,
};
