// The body encoder's fast path, for its tests: copies the whole 64-byte
// blocks from p on that are already in wire form (p[-1] must be readable) to
// o, and returns where the first block that needs work, or the last part
// block, begins; o moves past what was copied.
#pragma once

namespace qv::mail {

const char* CopyWireFormBlocksSse2(const char* p, const char* end, char*& o);
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The same, 32 bytes to a compare, where the processor has them.
const char* CopyWireFormBlocksAvx2(const char* p, const char* end, char*& o);
#endif
// The one of the two the processor runs best.
const char* CopyWireFormBlocks(const char* p, const char* end, char*& o);

}  // namespace qv::mail
