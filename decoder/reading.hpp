// The readers as the decoder calls them internally: results come back as a value and an end
// offset instead of a new pair, so that reading a nested token allocates only its value.
#pragma once

#include <cstdint>

#include "../module/runtime.hpp"

namespace vorlaken::decoder {

// A reader's result. The module's own readers give their end offset as a number; a reader of a
// caller's gives it as whatever object it returned.
struct Token {
    Ref value;
    Ref end_object;  // set for a caller's reader
    int64_t end = 0;
};

// What one call of the decoder from Python keeps while it runs, on its stack.
//
// Its thread state, fetched once: it is the same throughout the call, and the containers read at
// every level need it.
//
// Its keys: equal dictionary keys read within the call share one bytes object. Bytes are
// immutable and nothing promises distinct objects, and a shared key keeps its hash, so storing it
// in the next mapping costs no hashing.
class DecodeCall {
  public:
    DecodeCall() noexcept;
    ~DecodeCall();
    DecodeCall(const DecodeCall&) = delete;
    DecodeCall& operator=(const DecodeCall&) = delete;

    // The call under way on this thread; null outside a call.
    static DecodeCall* current() noexcept;
    // The thread state of the call under way on this thread.
    static PyThreadState* thread() {
        const DecodeCall* call = current();
        return call ? call->thread_ : PyThreadState_Get();
    }
    // A dictionary key of the n bytes at data, shared within the call under way on this thread.
    static PyObject* new_key(const char* data, Py_ssize_t n) {
        DecodeCall* call = current();
        return call ? call->key(data, n) : PyBytes_FromStringAndSize(data, n);
    }
    // A bytes object equal to the n bytes at data: one read before in this call, or a new one.
    PyObject* key(const char* data, Py_ssize_t n) {
        // A short message repeats few keys: sharing pays from the first few keys on.
        if (n > longest || ++seen_ <= unshared) {
            return PyBytes_FromStringAndSize(data, n);
        }
        return shared(data, n);
    }

  private:
    PyObject* shared(const char* data, Py_ssize_t n);

    static constexpr int slots = 64;
    static constexpr Py_ssize_t longest = 16;  // longer keys are hashes and names, rarely repeated
    static constexpr int unshared = 8;
    struct Slot {
        PyObject* key;
        // Its bytes as two words that with its length tell it apart from any other key: the first
        // eight and the last eight, or for a shorter key, bytes of it that together cover it.
        uint64_t head, tail;
        Py_ssize_t n;
    };
    Slot slot_[slots];
    uint64_t used_ = 0;  // which slots hold a key
    int seen_ = 0;
    PyThreadState* const thread_;
    DecodeCall* previous_;
};

// The four readers' bodies. Each adds its traceback entry when it fails.
bool read_int(PyObject* x, int32_t f, Token& out);
bool read_string(PyObject* x, int32_t f, Token& out);
bool read_list(PyObject* x, int32_t f, Token& out);
bool read_dict(PyObject* x, int32_t f, Token& out);

// decode_string's body for a dictionary key, sharing equal keys.
bool read_key(PyObject* x, int32_t f, Token& out);

// What the namespace and the reader table hold now for the readers' everyday work.
struct ReaderProof {
    // For each first byte, the module's own reader that the table holds for it, or Site::count_
    // where a lookup must decide (no entry, or a caller's reader).
    Site own[256];
    int end_char;  // as Globals has it
    bool decode_string_is_own;
    PyObject* ordered_dict;  // borrowed from the namespace
};

// The proof and the stamps of what it was read from (see read_proof in table.cpp).
struct ReaderProofState {
    TableStamps stamps;  // the answer below stands while they hold
    bool plain = false;  // and it is the proof, not "no proof"
    ReaderProof proof;
};

extern ReaderProofState reader_state;
const ReaderProof* read_proof();

// The proof, read afresh when the namespace or the table has changed; null where they give none
// (a table that is no dict of exact int keys, a namespace with keys that are no exact str).
inline const ReaderProof* reader_proof() {
    if (reader_state.stamps.hold()) [[likely]] {
        return reader_state.plain ? &reader_state.proof : nullptr;
    }
    return read_proof();
}

// A reader's body with the reader's traceback entry added when it fails.
template <bool (*Body)(PyObject*, int32_t, Token&), Site S>
bool traced(PyObject* x, int32_t f, Token& out) {
    if (!Body(x, f, out)) {
        add_traceback(S);
        return false;
    }
    return true;
}

// reader(x, f) for any reader; the module's own readers are run without the call machinery.
bool call_reader(PyObject* reader, PyObject* x, int32_t f, Token& out);

// The token at f read by the reader that decode_func, read now, gives for its first byte. The end
// offset is left as the reader gave it.
bool read_token(PyObject* x, int32_t f, Token& out);

// A new decode result pair made from a token; null with an exception set.
PyObject* token_pair(Token& t);

}  // namespace vorlaken::decoder
