#include "train/trainer.h"

#include <sys/mman.h>

#include <new>
#include <string>

#include "codec/pair_index.h"
#include "files/io.h"
#include "model/tokenizer_file.h"
#include "report/console.h"
#include "report/failure.h"
#include "report/messages.h"
#include "train/chunk_tokens.h"
#include "train/merge_passes.h"

namespace velkor {
namespace {

// Bytes asked for by each read of the training file.
constexpr std::size_t kChunkSize = 3'067'833;

// The chunk buffer, mapped directly so that its pages can be handed back
// while the merges of a chunk run, when training needs the most memory;
// the next read faults them in again.
class ChunkBuffer {
 public:
  explicit ChunkBuffer(std::size_t size) : size_(size) {
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<char*>(memory);
  }
  ~ChunkBuffer() { munmap(data_, size_); }
  ChunkBuffer(const ChunkBuffer&) = delete;
  ChunkBuffer& operator=(const ChunkBuffer&) = delete;

  char* data() { return data_; }
  std::size_t size() const { return size_; }
  // Drops the contents and their pages.
  void release() { madvise(data_, size_, MADV_DONTNEED); }

 private:
  char* data_;
  std::size_t size_;
};

// Refuses the file combinations in which training would destroy its own
// input or output: the log is truncated, and "tokenizer" replaced, before the
// text has been read; records appended to the file being read would feed
// training forever; a log that is "tokenizer" truncates the saved model.
// Files are compared by device and inode, so links are seen through.
void refuse_self_destruction(std::string_view train_file, bool print_logs,
                             std::string_view logs_file) {
  if (same_file(logs_file, train_file)) {
    fail("The log file " + std::string(logs_file) +
         " is the training file itself; truncating it would lose the training text");
  }
  if (print_logs && same_file(train_file, "log.txt")) {
    fail("The training file " + std::string(train_file) +
         " is the training log \"log.txt\"; training would read its own records without end");
  }
  if (same_file(logs_file, "tokenizer")) {
    fail("The log file " + std::string(logs_file) +
         " is the file \"tokenizer\" that training saves to; truncating it would lose the "
         "saved model");
  }
  if (same_file(train_file, "tokenizer")) {
    fail("The training file " + std::string(train_file) +
         " is the file \"tokenizer\" that training saves to; saving would replace it while it "
         "is read");
  }
}

// logs_file, created or truncated; when print_logs, it gets "Started \n " on
// a second handle and "log.txt" (appended to) becomes the training log.
File open_training_log(bool print_logs, std::string_view logs_file) {
  File log = or_fail(messages::kToWork, [&] { return File::create(logs_file); });
  if (!print_logs) return log;
  log = or_fail(messages::kLogsFileError, [&] { return File::create(logs_file); });
  or_fail(messages::kLogsFileError, [&] { return log.write_once(messages::kLogStarted); });
  log = or_fail(messages::kToWork, [] { return File::open_append("log.txt"); });
  return log;
}

}  // namespace

void train(Model& model, std::string_view train_file, bool print_logs, std::string_view logs_file,
           const InterruptCheck& check_interrupt) {
  model.unicode_lookup.insert_or_assign("oov", TokenId{0});
  model.lookup.insert_or_assign(TokenId{0}, std::string());
  refuse_self_destruction(train_file, print_logs, logs_file);

  File log = open_training_log(print_logs, logs_file);
  File text = or_fail(messages::kTrainFileMissing, [&] { return File::open_read(train_file); });
  ChunkBuffer buffer(kChunkSize);
  console_write(messages::kJustStarted);

  // Both passes work on a pair index of the chunk; it keeps the pair counts
  // exact as merges are applied instead of recounting the chunk. One index
  // takes every chunk in turn and keeps its room, so later chunks do not
  // allocate again; what a chunk's merges grew into goes back to the system
  // before the next chunk is read, so that chunk peaks do not stack.
  PairIndex index;
  const PassOutput out = standard_pass_output(print_logs, log);
  for (bool first_chunk = true;; first_chunk = false) {
    if (check_interrupt) check_interrupt();
    const std::size_t size =
        or_fail(messages::kToWork, [&] { return text.read_some(buffer.data(), buffer.size()); });
    if (size == 0) break;

    chunk_to_index(model, std::string_view(buffer.data(), size), index);
    buffer.release();  // the index holds all that is needed of the chunk
    if (!first_chunk) known_merge_pass(model, index, out, check_interrupt);
    console_write(messages::kChunkConverted);
    merge_learning_pass(model, index, out, check_interrupt);
    index.release();
    save_model(model);
    or_fail(messages::kToWork, [&] { log.write_all(messages::kChunkSeparator); });
  }
}

}  // namespace velkor
