// The sample registry.  Header text is scanned through a bounded view and
// values are copied out, so the caller's text is never written to or read
// past its terminating NUL.  An @RG line takes its ID and SM from that line
// only: a line lacking either is skipped rather than borrowing the tag of a
// later line.
#include "call/sample.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

namespace {

char* copy_string(std::string_view s) {
    auto* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (!p) return nullptr;
    std::memcpy(p, s.data(), s.size());
    p[s.size()] = 0;
    return p;
}

// Inserts `key` (borrowed) with value `id`; false when memory runs out.
bool put_id(kh_str2int_t* h, const char* key, int id) {
    try {
        int ret;
        khint_t k = h->put(key, &ret);
        h->value(k) = id;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// The id of sample `name`, appending it when it is new; -1 when memory runs out.
int sample_id(bam_sample_t* sm, std::string_view name, const char* name_z) {
    khint_t k = sm->sm2id->get(name_z);
    if (k != sm->sm2id->end()) return sm->sm2id->value(k);
    if (sm->n == sm->m) {
        if (sm->m > (1 << 29)) return -1;
        int m = sm->m ? sm->m << 1 : 1;
        auto* p = static_cast<char**>(std::realloc(sm->smpl, sizeof(char*) * m));
        if (!p) return -1;
        sm->smpl = p;
        sm->m = m;
    }
    char* copy = copy_string(name);
    if (!copy) return -1;
    if (!put_id(sm->sm2id, copy, sm->n)) {
        std::free(copy);
        return -1;
    }
    sm->smpl[sm->n] = copy;
    return sm->n++;
}

// Maps `key` to the sample named `name` unless the key is already known (the
// first registration of a key wins).  0, or -1 when memory runs out.
int add_pair(bam_sample_t* sm, const char* key, std::string_view name) {
    if (sm->rg2smid->get(key) != sm->rg2smid->end()) return 0;
    char* name_z = copy_string(name);  // NUL-terminated for the lookup
    if (!name_z) return -1;
    int id = sample_id(sm, name, name_z);
    std::free(name_z);
    if (id < 0) return -1;
    char* key_copy = copy_string(key);
    if (!key_copy) return -1;
    if (!put_id(sm->rg2smid, key_copy, id)) {
        std::free(key_copy);
        return -1;
    }
    return 0;
}

// The value of the tag whose "\tXX:" starts at `tag` inside `line`: it runs
// to the next TAB, newline or the end of the line.
std::string_view tag_value(std::string_view line, size_t tag) {
    size_t start = tag + 4;
    size_t end = line.find_first_of("\t\n", start);
    if (end == std::string_view::npos) end = line.size();
    return line.substr(start, end - start);
}

}  // namespace

bam_sample_t* bam_smpl_init() {
    auto* sm = static_cast<bam_sample_t*>(std::calloc(1, sizeof(bam_sample_t)));
    if (!sm) return nullptr;
    sm->rg2smid = new (std::nothrow) kh_str2int_t;
    sm->sm2id = new (std::nothrow) kh_str2int_t;
    if (!sm->rg2smid || !sm->sm2id) {
        bam_smpl_destroy(sm);
        return nullptr;
    }
    return sm;
}

int bam_smpl_add(bam_sample_t* sm, const char* fn, const char* txt) {
    if (!sm || !fn) return -1;
    if (!txt) return add_pair(sm, fn, fn);
    const std::string_view text(txt);
    kstring_owner key;
    std::string_view first_sm;
    int n_rg = 0;
    size_t p = 0;
    for (;;) {
        size_t rg = text.find("@RG", p);
        if (rg == std::string_view::npos) break;
        size_t after = rg + 3;
        size_t eol = text.find('\n', after);
        if (eol == std::string_view::npos) eol = text.size();
        const std::string_view line = text.substr(0, eol);
        size_t id = line.find("\tID:", after), smt = line.find("\tSM:", after);
        if (id == std::string_view::npos || smt == std::string_view::npos) {
            p = eol;  // this read group names no sample
            continue;
        }
        std::string_view id_value = tag_value(line, id), sm_value = tag_value(line, smt);
        key->l = 0;
        if (kputs(fn, key.get()) < 0 || kputc('/', key.get()) < 0 || kputsn(id_value.data(), id_value.size(), key.get()) < 0)
            return -1;
        if (add_pair(sm, key->s, sm_value) < 0) return -1;
        if (n_rg++ == 0) first_sm = sm_value;
        p = (id > smt ? id : smt) + 4;
    }
    if (n_rg == 0) return add_pair(sm, fn, fn);
    if (n_rg == 1) return add_pair(sm, fn, first_sm);
    return 0;
}

int bam_smpl_rg2smid(const bam_sample_t* sm, const char* fn, const char* rg, kstring_t* str) {
    if (!sm || !fn || !str) return -1;
    str->l = 0;
    if (kputs(fn, str) < 0) return -1;
    if (rg && (kputc('/', str) < 0 || kputs(rg, str) < 0)) return -1;
    khint_t k = sm->rg2smid->get(str->s);
    return k == sm->rg2smid->end() ? -1 : sm->rg2smid->value(k);
}

void bam_smpl_destroy(bam_sample_t* sm) {
    if (!sm) return;
    for (int i = 0; i < sm->n; ++i) std::free(sm->smpl[i]);
    std::free(sm->smpl);
    if (sm->rg2smid) {
        for (khint_t k = sm->rg2smid->begin(); k != sm->rg2smid->end(); ++k)
            if (sm->rg2smid->exist(k)) std::free(const_cast<char*>(sm->rg2smid->key(k)));
        delete sm->rg2smid;
    }
    delete sm->sm2id;
    std::free(sm);
}
