// The implementation of sparse_stream.h; its role and contract are stated there.

#include "core/base/sparse_stream.h"

#include <algorithm>
#include <cstring>

namespace vesk {

namespace {

bool all_zero(std::string_view bytes) {
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, sizeof word);
    if (word != 0) return false;
  }
  for (; i < bytes.size(); ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

void put_u64(char* out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(value >> (8 * i));
}

}  // namespace

Status SparseEncoder::add(std::string_view bytes) {
  if (!partial_.empty()) {
    const std::size_t take = std::min(kSparsePage - partial_.size(), bytes.size());
    partial_.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    if (partial_.size() < kSparsePage) return status_;
    take_page(partial_);
    partial_.clear();
  }
  for (; bytes.size() >= kSparsePage && status_; bytes.remove_prefix(kSparsePage)) {
    take_page(bytes.substr(0, kSparsePage));
  }
  partial_.assign(bytes);
  return status_;
}

Status SparseEncoder::finish() {
  if (!partial_.empty()) take_page(partial_);
  partial_.clear();
  if (!data_.empty() || zeros_ > 0) emit(zeros_);
  return status_;
}

void SparseEncoder::take_page(std::string_view page) {
  if (!status_) return;
  if (all_zero(page)) {
    zeros_ += page.size();
    return;
  }
  if (zeros_ >= kMinZeroRun) {
    emit(zeros_);
  } else {
    data_.append(zeros_, '\0');
    zeros_ = 0;
  }
  data_.append(page);
  if (data_.size() >= kMaxRecordData) emit(0);
}

void SparseEncoder::emit(std::uint64_t zeros) {
  if (!status_) return;
  char header[kSparseHeaderBytes];
  put_u64(header, data_.size());
  put_u64(header + 8, zeros);
  status_ = sink_(std::string_view(header, sizeof header));
  if (status_ && !data_.empty()) status_ = sink_(data_);
  data_.clear();
  zeros_ = 0;
}

}  // namespace vesk
