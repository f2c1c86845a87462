#include "asn1/asn1_element.h"

#include <atomic>
#include <cstddef>
#include <new>

#include "platform/memory.h"

#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_DER_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMORA_DER_POOL_ASAN 1
#endif
#endif
#if defined(VELMORA_DER_POOL_ASAN)
#include <sanitizer/asan_interface.h>
#define POOL_POISON(block, size) ASAN_POISON_MEMORY_REGION(block, size)
#define POOL_UNPOISON(block, size) ASAN_UNPOISON_MEMORY_REGION(block, size)
#else
#define POOL_POISON(block, size) ((void)(block), (void)(size))
#define POOL_UNPOISON(block, size) ((void)(block), (void)(size))
#endif

namespace velmora::pki {
namespace {

struct Header {
  uint8_t tag;
  int32_t content_start;
  int32_t content_end;
  int32_t element_end;
};

bool IsEndOfContents(const uint8_t* bytes, int32_t offset) { return bytes[offset] == 0 && bytes[offset + 1] == 0; }

// Walk reads the element at offset; depth is how many indefinite lengths enclose it.
bool Walk(const uint8_t* bytes, int32_t offset, int32_t limit, int depth, Header* h) {
  if (bytes == nullptr || offset < 0 || limit - offset < 2) return false;
  h->tag = bytes[offset];
  int32_t pos = offset + 2;
  if (IsEndOfContents(bytes, offset)) {
    h->content_start = h->content_end = h->element_end = pos;
    return true;
  }
  const uint8_t first = bytes[offset + 1];
  h->content_start = pos;
  if (first < 0x80) {
    if (first > limit - pos) return false;
    h->content_end = h->element_end = pos + first;
    return true;
  }
  if (first != 0x80) {
    const int32_t count = first & 0x7F;
    if (count > 4 || count > limit - pos) return false;
    uint32_t length = 0;
    for (int32_t i = 0; i < count; ++i) length = (length << 8) | bytes[pos + i];
    pos += count;
    // Compared against the room left, so that no offset sum can overflow.
    if (length >= 0x80000000u || length > static_cast<uint32_t>(limit - pos)) return false;
    h->content_start = pos;
    h->content_end = h->element_end = pos + static_cast<int32_t>(length);
    return true;
  }
  // X.690 8.1.3.2: only a constructed encoding may have the indefinite form.
  if ((h->tag & 0x20) == 0 || depth > kDerMaxDepth) return false;
  Header item;
  while (limit - pos >= 2) {
    if (IsEndOfContents(bytes, pos)) {
      h->content_end = pos;
      h->element_end = pos + 2;
      return true;
    }
    if (!Walk(bytes, pos, limit, depth + 1, &item)) return false;
    pos = item.element_end;
  }
  return false;
}

std::atomic<bool> g_force_copying{false};

// A slab is its header, one cache line, followed by its node blocks; slabs start on a cache line so that
// a node spans no more lines than its size needs. A pool's first slabs are small, so that the many small
// trees cost little memory; a tree that outgrows them takes large slabs, so that it makes few
// allocations and frees few blocks. Both sizes stay below the allocator's threshold for mapping blocks
// of their own.
constexpr uint32_t kSmallSlabNodes = 64;
constexpr uint32_t kLargeSlabNodes = 256;
constexpr uint32_t kSmallSlabsPerPool = 4;
constexpr size_t kLine = 64;
struct Slab {
  Slab* next;
  void* block;     // the allocation the slab was cut from
  uint32_t nodes;  // kSmallSlabNodes or kLargeSlabNodes
};
constexpr size_t kSlabHeader = kLine;
static_assert(sizeof(Slab) <= kSlabHeader && alignof(Asn1Element) <= kLine);
constexpr size_t SlabBytes(uint32_t nodes) { return kSlabHeader + sizeof(Asn1Element) * nodes; }
constexpr size_t SlabAlloc(uint32_t nodes) { return SlabBytes(nodes) + kLine - 1; }
// How many blocks ahead Take prefetches the block it will cut, and Sweep the node it will read.
constexpr size_t kCutAhead = 16;
constexpr uint32_t kSweepAhead = 64;
// Where in a node the open-element list starts: the node's last line, which holds its links too and
// which the parse writes with its first (HoldsHeap reads the first line only).
constexpr size_t kOpenListOffset = sizeof(core::Buffer);
// The slabs of freed trees a thread keeps for its next trees (1 MiB in all), so that parsing tree after
// tree reuses warm memory instead of returning it to the system and faulting it in again.
constexpr size_t kCachedBytes = size_t{1} << 20;

// The copies of node bytes are cut in document order from chunks of the pool, so that they lie packed
// together and the tree makes no allocation per node. A copy larger than kLargestLentCopy gets a heap
// block of its own instead, so that a chunk wastes little.
constexpr size_t kChunkBytes = size_t{32} << 10;
constexpr int32_t kLargestLentCopy = 2048;
// A copy this small stays inline, on the node's first cache line, which the parse writes anyway.
constexpr int32_t kLargestInlineCopy = static_cast<int32_t>(kLine - sizeof(core::BufferCore)) - 1;
struct Chunk {
  Chunk* next;
  size_t used;
};
constexpr size_t kChunkHeader = sizeof(Chunk);

struct SlabCache {
  Slab* small = nullptr;
  Slab* large = nullptr;
  Chunk* chunks = nullptr;
  size_t bytes = 0;
  ~SlabCache();
};
thread_local SlabCache t_slab_cache;
// Set once the thread's cache is gone (a tree freed by a later destructor frees its slabs directly).
thread_local bool t_slab_cache_gone = false;

void FreeSlab(Slab* slab) { platform::Free(slab->block, SlabAlloc(slab->nodes)); }

// DrainList empties a list linked through `next`, handing each item to release after unlinking it.
template <typename Item, typename Release>
void DrainList(Item*& head, Release release) {
  while (head != nullptr) {
    Item* item = head;
    head = item->next;
    release(item);
  }
}

SlabCache::~SlabCache() {
  t_slab_cache_gone = true;
  DrainList(small, FreeSlab);
  DrainList(large, FreeSlab);
  DrainList(chunks, [](Chunk* chunk) { platform::Free(chunk, kChunkBytes); });
  bytes = 0;
}

Slab* TakeSlab(uint32_t nodes) {
  if (!t_slab_cache_gone) {
    Slab*& head = nodes == kSmallSlabNodes ? t_slab_cache.small : t_slab_cache.large;
    if (head != nullptr) {
      Slab* slab = head;
      head = slab->next;
      t_slab_cache.bytes -= SlabBytes(nodes);
      return slab;
    }
  }
  void* block = platform::Alloc(SlabAlloc(nodes));
  if (block == nullptr) return nullptr;
  const uintptr_t at = (reinterpret_cast<uintptr_t>(block) + kLine - 1) & ~uintptr_t{kLine - 1};
  Slab* slab = reinterpret_cast<Slab*>(at);
  slab->block = block;
  slab->nodes = nodes;
  return slab;
}

void GiveSlab(Slab* slab) {
  POOL_UNPOISON(slab, SlabBytes(slab->nodes));
  if (!t_slab_cache_gone && t_slab_cache.bytes + SlabBytes(slab->nodes) <= kCachedBytes) {
    Slab*& head = slab->nodes == kSmallSlabNodes ? t_slab_cache.small : t_slab_cache.large;
    slab->next = head;
    head = slab;
    t_slab_cache.bytes += SlabBytes(slab->nodes);
    return;
  }
  FreeSlab(slab);
}

Chunk* TakeChunk() {
  Chunk* chunk = nullptr;
  if (!t_slab_cache_gone && t_slab_cache.chunks != nullptr) {
    chunk = t_slab_cache.chunks;
    t_slab_cache.chunks = chunk->next;
    t_slab_cache.bytes -= kChunkBytes;
  } else {
    chunk = static_cast<Chunk*>(platform::Alloc(kChunkBytes));
    if (chunk == nullptr) return nullptr;
  }
  chunk->next = nullptr;
  chunk->used = kChunkHeader;
  POOL_POISON(reinterpret_cast<char*>(chunk) + kChunkHeader, kChunkBytes - kChunkHeader);
  return chunk;
}

// GiveChunk wipes the bytes cut from chunk when storage is wiped on release (the copies may be secret).
void GiveChunk(Chunk* chunk) {
  POOL_UNPOISON(chunk, kChunkBytes);
  if (core::ZeroMemoryFlag() != 0) platform::SecureZero(chunk + 1, chunk->used - kChunkHeader);
  if (!t_slab_cache_gone && t_slab_cache.bytes + kChunkBytes <= kCachedBytes) {
    chunk->next = t_slab_cache.chunks;
    t_slab_cache.chunks = chunk;
    t_slab_cache.bytes += kChunkBytes;
    return;
  }
  platform::Free(chunk, kChunkBytes);
}

}  // namespace

// Pool hands out node blocks in order from its slabs and keeps blocks given back on a free list; its
// slabs go to the thread's cache when the pool is destroyed. Free blocks are poisoned for ASan.
class Asn1Element::Pool {
 public:
  Pool() = default;
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  ~Pool() { ReleaseAll(); }

  // Take returns an uninitialised node block, null when a new slab cannot be had.
  void* Take() {
    if (free_ != nullptr) {
      FreeBlock* block = free_;
      POOL_UNPOISON(block, sizeof(Asn1Element));
      free_ = block->next;
      return block;
    }
    if (slabs_ == nullptr || cut_ == slabs_->nodes) {
      Slab* slab = TakeSlab(slab_count_ < kSmallSlabsPerPool ? kSmallSlabNodes : kLargeSlabNodes);
      if (slab == nullptr) return nullptr;
      slab->next = slabs_;
      slabs_ = slab;
      ++slab_count_;
      POOL_POISON(reinterpret_cast<char*>(slab) + kSlabHeader, SlabBytes(slab->nodes) - kSlabHeader);
      cut_ = 0;
    }
    char* block = reinterpret_cast<char*>(slabs_) + kSlabHeader + sizeof(Asn1Element) * cut_++;
    // The blocks are cut in order: the lines of one a few blocks on are fetched for writing now, so that
    // a large tree, whose blocks are no longer in cache, does not wait for each node's lines in turn.
    __builtin_prefetch(block + sizeof(Asn1Element) * kCutAhead, 1);
    __builtin_prefetch(block + sizeof(Asn1Element) * kCutAhead + kOpenListOffset, 1);
    POOL_UNPOISON(block, sizeof(Asn1Element));
    return block;
  }
  // Sweep ends the life of every node handed out, slab by slab in the order the blocks were cut, and
  // returns the slabs: the nodes of a tree are freed as one pass over memory instead of a walk along
  // its links. A node with no heap block has nothing to free or wipe when storage is not wiped on
  // release, and its destructor is skipped (its storage is only reused). False, with nothing done, when
  // blocks were given back (they cannot be told from live nodes then). Only for the pool's owner, whose
  // tree holds every live block.
  bool Sweep() {
    if (free_ != nullptr) return false;
    const bool wipe = core::ZeroMemoryFlag() != 0;
    uint32_t used = cut_;
    for (Slab* slab = slabs_; slab != nullptr; slab = slab->next) {
      char* first = reinterpret_cast<char*>(slab) + kSlabHeader;
      for (uint32_t i = 0; i < used; ++i) {
        char* ahead = first + sizeof(Asn1Element) * (i + kSweepAhead);
        __builtin_prefetch(ahead);
        auto* node = reinterpret_cast<Asn1Element*>(first + sizeof(Asn1Element) * i);
        if (!wipe && !node->HoldsHeap()) continue;
        node->first_child_ = nullptr;
        node->next_sibling_ = nullptr;
        node->~Asn1Element();
      }
      if (slab->next != nullptr) used = slab->next->nodes;
    }
    ReleaseAll();
    return true;
  }
  // Lend copies size bytes of bytes, and a zero byte after them, into the pool's chunks and returns the
  // copy; null when the copy is too large for them or no chunk can be had.
  char* Lend(const uint8_t* bytes, int32_t size) {
    if (size > kLargestLentCopy) return nullptr;
    const size_t need = static_cast<size_t>(size) + 1;
    if (chunks_ == nullptr || kChunkBytes - chunks_->used < need) {
      Chunk* chunk = TakeChunk();
      if (chunk == nullptr) return nullptr;
      chunk->next = chunks_;
      chunks_ = chunk;
    }
    char* copy = reinterpret_cast<char*>(chunks_) + chunks_->used;
    chunks_->used += need;
    POOL_UNPOISON(copy, need);
    __builtin_memcpy(copy, bytes, static_cast<size_t>(size));
    copy[size] = '\0';
    return copy;
  }
  // ReleaseAll returns every slab and chunk; only once no node of the pool is alive.
  void ReleaseAll() {
    DrainList(slabs_, GiveSlab);
    DrainList(chunks_, GiveChunk);
    free_ = nullptr;
    cut_ = 0;
    slab_count_ = 0;
  }
  void Give(void* block) {
    auto* free_block = static_cast<FreeBlock*>(block);
    free_block->next = free_;
    free_ = free_block;
    POOL_POISON(free_block, sizeof(Asn1Element));
  }

 private:
  struct FreeBlock {
    FreeBlock* next;
  };
  Slab* slabs_ = nullptr;
  Chunk* chunks_ = nullptr;
  FreeBlock* free_ = nullptr;
  uint32_t cut_ = 0;  // blocks handed out from the newest slab
  uint32_t slab_count_ = 0;
};

namespace internal {
void ForceDerCopyingPath(bool force) { g_force_copying.store(force, std::memory_order_relaxed); }
}  // namespace internal

bool DerWalkHeader(const uint8_t* bytes, int32_t offset, int32_t limit, uint8_t* out_tag, int32_t* out_content_start,
                   int32_t* out_content_end, int32_t* out_element_start, int32_t* out_element_end) {
  Header h;
  if (!Walk(bytes, offset, limit, 0, &h)) return false;
  if (out_tag != nullptr) *out_tag = h.tag;
  if (out_content_start != nullptr) *out_content_start = h.content_start;
  if (out_content_end != nullptr) *out_content_end = h.content_end;
  if (out_element_start != nullptr) *out_element_start = offset;
  if (out_element_end != nullptr) *out_element_end = h.element_end;
  return true;
}

bool DerIsSingleElement(const uint8_t* bytes, int32_t length) {
  Header h;
  return Walk(bytes, 0, length, 0, &h) && h.element_end == length;
}

Asn1Element::~Asn1Element() {
  FreeChildren();
  FreeChain(next_sibling_);
  first_child_ = nullptr;
  next_sibling_ = nullptr;
  if (owns_pool_) {
    pool_->~Pool();
    platform::Free(pool_, sizeof(Pool));
  }
}

// The source lies past the zero byte of the empty content, on the node's first cache line.
constexpr int32_t kSourceOffset = 8;

void Asn1Element::SetSource(const uint8_t* bytes, int32_t size) {
  static_assert(kSourceOffset + sizeof(Source) <= core::Buffer::kInlineCapacity);
  const Source source{bytes, size};
  __builtin_memcpy(Data() + kSourceOffset, &source, sizeof source);
}

Asn1Element::Source Asn1Element::GetSource() const {
  Source source;
  __builtin_memcpy(&source, Data() + kSourceOffset, sizeof source);
  return source;
}

Asn1Element::Pool* Asn1Element::ChildPool() {
  if (pool_ != nullptr || g_force_copying.load(std::memory_order_relaxed)) return pool_;
  void* block = platform::Alloc(sizeof(Pool));
  if (block == nullptr) return nullptr;
  pool_ = new (block) Pool();
  owns_pool_ = true;
  return pool_;
}

Asn1Element* Asn1Element::NewNode(Pool* pool, const uint8_t* bytes, int32_t size, uint8_t tag, bool lazy, int* rc) {
  void* block = pool != nullptr ? pool->Take() : platform::Alloc(sizeof(Asn1Element));
  if (block == nullptr) {
    *rc = kDerBadInner;
    return nullptr;
  }
  // Default-initialised: every member has its initialiser, and the inline bytes need no zeroing first.
  auto* node = new (block) Asn1Element;
  node->tag_ = tag;
  node->pool_ = pool;
  if (lazy) {
    node->SetSource(bytes, size);
    node->pending_ = true;
    return node;
  }
  *rc = node->SetData(size, bytes);
  if (*rc != core::kOk) {
    node->~Asn1Element();
    if (pool != nullptr) {
      pool->Give(block);
    } else {
      platform::Free(block, sizeof(Asn1Element));
    }
    return nullptr;
  }
  return node;
}

void Asn1Element::FreeChain(Asn1Element* head) {
  // Seen as a binary tree (first child left, next sibling right), a node with children is rotated
  // right until the leftmost node has none and can go: each node is reached a bounded number of times
  // per child, and a tree of any depth or length needs no recursion and no stack.
  Asn1Element* node = head;
  while (node != nullptr) {
    // A node owning a pool (made on the copying path, parsed later) frees its subtree before the pool.
    if (node->owns_pool_) node->FreeChildren();
    if (Asn1Element* child = node->first_child_; child != nullptr) {
      node->first_child_ = child->next_sibling_;
      child->next_sibling_ = node;
      node = child;
      continue;
    }
    Asn1Element* next = node->next_sibling_;
    node->next_sibling_ = nullptr;
    Pool* from = node->owns_pool_ ? nullptr : node->pool_;
    node->~Asn1Element();
    if (from != nullptr) {
      from->Give(node);
    } else {
      platform::Free(node, sizeof(Asn1Element));
    }
    node = next;
  }
}

void Asn1Element::FreeChildren() {
  // The owner of a pool holds every live node of it: the pool frees them in one sweep when it can.
  if (first_child_ != nullptr && !(owns_pool_ && pool_->Sweep())) {
    FreeChain(first_child_);
    // The owner's tree held every live node: the pool is unused now, chunks of copies included.
    if (owns_pool_) pool_->ReleaseAll();
  }
  first_child_ = nullptr;
}

int Asn1Element::ParseFailed(int rc) {
  FreeChildren();
  FreeChain(next_sibling_);
  first_child_ = nullptr;
  next_sibling_ = nullptr;
  child_count_ = 0;
  return rc;
}

int Asn1Element::Parse(int release_bytes, uint32_t* out_encoded_size) {
  bool empty = false;
  const int rc = Split(Bytes(), Length(), false, out_encoded_size, &empty);
  if (rc == core::kOk && !empty && release_bytes != 0) Clear();
  return rc;
}

int Asn1Element::Split(const uint8_t* bytes, int32_t length, bool lazy, uint32_t* out_encoded_size, bool* out_empty) {
  Header h;
  *out_empty = false;
  if (!Walk(bytes, 0, length, 0, &h)) return kDerBadOuter;
  if (out_encoded_size != nullptr) *out_encoded_size = static_cast<uint32_t>(h.element_end);
  tag_ = h.tag;
  if (h.content_start == h.content_end) {
    *out_empty = true;
    return core::kOk;
  }

  Header item;
  if (!Walk(bytes, h.content_start, h.content_end, 1, &item)) return kDerBadOuter;
  FreeChildren();
  child_count_ = 0;
  Pool* pool = ChildPool();
  int rc = core::kOk;
  int32_t pos = h.content_start;
  Asn1Element* previous = nullptr;
  for (;;) {
    Asn1Element* node = NewNode(pool, bytes + pos, item.element_end - pos, item.tag, lazy, &rc);
    if (node == nullptr) return ParseFailed(rc);
    if (previous == nullptr) {
      first_child_ = node;
    } else {
      previous->next_sibling_ = node;
    }
    previous = node;
    ++child_count_;
    pos = item.element_end;
    if (pos >= h.content_end) break;
    if (!Walk(bytes, pos, h.content_end, 1, &item)) return kDerBadInner;
  }
  return core::kOk;
}

int Asn1Element::ParseChildren(int release_bytes) {
  if (IsEmpty()) return core::kOk;
  tag_ = Bytes()[0];
  if ((tag_ & 0x20) == 0) return core::kOk;
  if (g_force_copying.load(std::memory_order_relaxed)) return ParseChildrenCopying(release_bytes);
  return ParseChildrenLazy(release_bytes);
}

int Asn1Element::ParseChildrenLazy(int release_bytes) {
  bool empty = false;
  int rc = Split(Bytes(), Length(), true, nullptr, &empty);
  if (rc != core::kOk) {
    FillPending();
    return rc;
  }
  // Released, this node's bytes stay until the walk ends: the pending nodes point into them.
  if (empty) return ParseChildrenCopying(release_bytes);
  bool release_root = release_bytes != 0;
  // The copies come from the pool's chunks when this node owns the pool: its next parse or its end
  // frees the whole tree and the chunks with it. A node parsed on its own copies to heap blocks.
  Pool* lender = owns_pool_ ? pool_ : nullptr;
  // Depth-first as in ParseChildrenCopying; a node gets its copy (or, constructed and released, only its
  // children) when the walk reaches it, and a failure fills in what the copying path would have left.
  Asn1Element* path[kDerMaxDepth + 1];
  int level = 0;
  path[0] = first_child_;
  while (level >= 0) {
    Asn1Element* node = path[level];
    if (node == nullptr) {
      if (--level >= 0) path[level] = path[level]->next_sibling_;
      continue;
    }
    const bool constructed = (node->tag_ & 0x20) != 0;
    if (constructed && level + 1 > kDerMaxDepth) {
      rc = kDerBadInner;
      break;
    }
    const Source source = node->GetSource();
    if (constructed && release_bytes != 0) {
      rc = node->Split(source.bytes, source.size, true, nullptr, &empty);
      if (rc != core::kOk) break;
      node->pending_ = false;
      // An empty constructed element keeps its bytes, as Parse leaves them (at most a few, kept inline).
      if (empty) (void)node->SetData(source.size, source.bytes);
    } else {
      char* copy = lender != nullptr && source.size > kLargestInlineCopy ? lender->Lend(source.bytes, source.size) : nullptr;
      if (copy != nullptr) {
        node->UseLentStorage(copy, source.size);
      } else {
        rc = node->SetData(source.size, source.bytes);
      }
      if (rc != core::kOk) {
        // The copying path fails while splitting the parent: its children and later siblings go, and
        // it keeps its bytes.
        Asn1Element* parent = level == 0 ? this : path[level - 1];
        if (parent == this) {
          release_root = false;
        } else if (parent->IsEmpty()) {
          const Source kept = parent->GetSource();
          (void)parent->SetData(kept.size, kept.bytes);
        }
        (void)parent->ParseFailed(rc);
        break;
      }
      node->pending_ = false;
      if (constructed) {
        rc = node->Split(node->Bytes(), node->Length(), true, nullptr, &empty);
        if (rc != core::kOk) break;
      }
    }
    if (constructed && node->first_child_ != nullptr) {
      path[++level] = node->first_child_;
      continue;
    }
    path[level] = node->next_sibling_;
  }
  if (rc != core::kOk) FillPending();
  if (release_root) Clear();
  return rc;
}

void Asn1Element::FillPending() {
  // Every node below this one, depth first; the tree is at most kDerMaxDepth + 1 levels deep. A copy
  // that cannot be made leaves the node empty.
  Asn1Element* path[kDerMaxDepth + 2];
  int level = 0;
  path[0] = first_child_;
  while (level >= 0) {
    Asn1Element* node = path[level];
    if (node == nullptr) {
      if (--level >= 0) path[level] = path[level]->next_sibling_;
      continue;
    }
    if (node->pending_) {
      const Source source = node->GetSource();
      (void)node->SetData(source.size, source.bytes);
      node->pending_ = false;
    }
    if (node->first_child_ != nullptr && level + 1 < kDerMaxDepth + 2) {
      path[++level] = node->first_child_;
      continue;
    }
    path[level] = node->next_sibling_;
  }
}

int Asn1Element::ParseChildrenCopying(int release_bytes) {
  int rc = Parse(release_bytes, nullptr);
  if (rc != core::kOk) return rc;
  // Depth-first over the tree with one slot per level: path[i] is the node being visited i + 1 levels
  // below this one. The depth limit bounds the path, so the walk needs no allocation and no recursion.
  Asn1Element* path[kDerMaxDepth + 1];
  int level = 0;
  path[0] = first_child_;
  while (level >= 0) {
    Asn1Element* node = path[level];
    if (node == nullptr) {
      if (--level >= 0) path[level] = path[level]->next_sibling_;
      continue;
    }
    if (!node->IsEmpty()) {
      node->tag_ = node->Bytes()[0];
      if ((node->tag_ & 0x20) != 0) {
        if (level + 1 > kDerMaxDepth) return kDerBadInner;
        rc = node->Parse(release_bytes, nullptr);
        if (rc != core::kOk) return rc;
        if (node->first_child_ != nullptr) {
          path[++level] = node->first_child_;
          continue;
        }
      }
    }
    path[level] = node->next_sibling_;
  }
  return core::kOk;
}

}  // namespace velmora::pki
