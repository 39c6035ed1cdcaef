#include "text/byteblocks.h"

#include <algorithm>
#include <cstring>

ByteBlocks::Place ByteBlocks::Append(QByteArrayView bytes) {
  if (blocks_.empty() || blocks_.back().size + bytes.size() > blocks_.back().capacity) {
    // A text larger than a block gets a block of its own size.
    Block block;
    block.capacity = std::max(kBlockBytes, bytes.size());
    block.data.reset(new char[size_t(block.capacity)]);
    blocks_.push_back(std::move(block));
  }
  Block& block = blocks_.back();
  const Place place = (Place(blocks_.size() - 1) << 32) | Place(block.size);
  if (!bytes.isEmpty()) std::memcpy(block.data.get() + block.size, bytes.data(), size_t(bytes.size()));
  block.size += bytes.size();
  return place;
}
