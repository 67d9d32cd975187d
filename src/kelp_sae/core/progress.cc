#include "kelp_sae/core/progress.h"

#include <stdexcept>

namespace kelp_sae {

struct ProgressIterator::State {};

ProgressIterator::ProgressIterator(ProgressOptions options) : options_(std::move(options)) {
  if (options_.msg.print_every < 1) throw std::invalid_argument("print_every must be at least 1");
}
ProgressIterator::~ProgressIterator() { delete state_; }
ProgressIterator::iterator& ProgressIterator::iterator::operator++() {
  ++index_;
  return *this;
}
ProgressIterator::iterator ProgressIterator::begin() { return iterator(this, 0); }
ProgressIterator::iterator ProgressIterator::end() { return iterator(this, options_.n_batches); }
void ProgressIterator::on_batch_done(std::size_t) {}

}  // namespace kelp_sae
