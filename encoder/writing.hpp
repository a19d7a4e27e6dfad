// The writers as the encoder calls them internally: on a Pieces, so that bencode's own piece list
// can stay bytes until code of a caller's could see it.
#pragma once

#include "../module/runtime.hpp"
#include "pieces.hpp"

namespace vorlaken::encoder {

// The bodies of the module's writers and of the dispatcher, after their arguments have been bound
// and converted (encode_int's x is an exact int). Each adds its traceback entry when it fails.
// The dispatcher returns what the writer returned.
PyObject* encode_body(PyObject* v, Pieces& r);
bool encode_int_body(PyObject* x, Pieces& r);
bool encode_bool_body(PyObject* x, Pieces& r);
bool encode_string_body(PyObject* x, Pieces& r);
bool encode_list_body(PyObject* x, Pieces& r);
bool encode_dict_body(PyObject* x, Pieces& r);

// encode_int's and encode_string's bodies without their traceback entries.
bool write_int(PyObject* x, Pieces& r);
bool write_string(PyObject* x, Pieces& r);

// What the namespace and the writer table hold now for the dispatcher's everyday work.
struct WriterProof {
    bool encode_is_own = false;  // the global encode is the module's own dispatcher
    bool encode_int_is_own = false;
    // By known_type: the module's own writer that the table holds for that exact type, or
    // Site::count_ where the table must be asked.
    Site site[8];
};

// The index of the exact type tp among int, bool, bytes, str, list, tuple, dict and
// collections.OrderedDict, or -1.
int known_type(PyTypeObject* tp);

// The proof and the stamps of what it was read from (see read_proof in dispatch.cpp).
struct WriterProofState {
    TableStamps stamps;  // the answer below stands while they hold
    bool plain = false;  // and it is the proof, not "no proof"
    WriterProof proof;
};

extern WriterProofState writer_state;
const WriterProof* read_proof();

// The proof, read afresh when the namespace or the table has changed; null where they give none
// (a table that is no plain dict of classes, a namespace with keys that are no exact str).
inline const WriterProof* writer_proof() {
    if (writer_state.stamps.hold()) [[likely]] {
        return writer_state.plain ? &writer_state.proof : nullptr;
    }
    return read_proof();
}

// The proof for writing to r. While r's pieces are kept, no code of a caller's has run since the
// encoding began (any would have made the list first), so nothing can have changed, and the proof
// taken at the first element stands.
inline const WriterProof* writer_proof(Pieces& r) {
    if (!r.kept()) {
        return writer_proof();
    }
    if (!r.proof_taken) {
        r.proof = writer_proof();
        r.proof_taken = true;
    }
    return r.proof;
}

// writer(v, r) for any writer (or dispatcher); the module's own run without the call machinery,
// after the same conversions and type tests and with the same recursion accounting.
// Returns the writer's result, a new reference.
PyObject* call_writer(PyObject* writer, PyObject* v, Pieces& r);
// The same for the module's own writer (or dispatcher) at site.
PyObject* call_own(Site site, PyObject* v, Pieces& r);

// encode(v, r), with the global encode read now; the result is dropped.
bool encode_item(PyObject* v, Pieces& r);

// The text of a str key or value as bytes, by its own encode method; other objects as they are.
PyObject* as_bytes(PyObject* x);

// The items of an exact dict or OrderedDict whose keys are all exact bytes or all exact str, in
// key order. Such keys are distinct and compare without running any code, so sorting the keys
// alone gives the order that the list sort gives the (key, value) pairs, whatever order the
// mapping keeps them in, and nothing needs the pairs as tuples.
class PlainItems {
  public:
    PlainItems() = default;
    PlainItems(const PlainItems&) = delete;
    PlainItems& operator=(const PlainItems&) = delete;
    ~PlainItems();

    // 1 when x qualifies and its items are taken, 0 when it does not, -1 with an exception set.
    int take(PyObject* x);

    Py_ssize_t size() const { return n_; }
    PyObject* key(Py_ssize_t i) const { return items_[i].key; }
    PyObject* value(Py_ssize_t i) const { return items_[i].value; }

  private:
    void release();

    struct Item {
        PyObject* key;
        PyObject* value;
    };
    Item inline_[8];  // most dictionaries in real data are this small
    Item* items_ = inline_;
    Py_ssize_t n_ = 0;
};

}  // namespace vorlaken::encoder
