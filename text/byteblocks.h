#pragma once
// Bytes stored in blocks that never move: appending never copies what is already kept, and
// leaves no freed copy behind (a growing single array is copied, or left as a hole in the
// heap, each time it outgrows its room). For long-lived lists of many small texts: the log's
// lines, the cards of a run.

#include <QByteArrayView>
#include <QtGlobal>
#include <memory>
#include <vector>

class ByteBlocks {
 public:
  // Where stored bytes are: the block in the high half, the offset in it in the low half.
  using Place = quint64;

  Place Append(QByteArrayView bytes);
  QByteArrayView At(Place place, qsizetype size) const {
    const Block& block = blocks_[size_t(place >> 32)];
    return QByteArrayView(block.data.get() + (place & 0xFFFFFFFFu), size);
  }
  void Clear() { std::vector<Block>().swap(blocks_); }

  static constexpr qsizetype kBlockBytes = 256 * 1024;

 private:
  struct Block {
    std::unique_ptr<char[]> data;
    qsizetype size = 0;
    qsizetype capacity = 0;
  };
  std::vector<Block> blocks_;
};
