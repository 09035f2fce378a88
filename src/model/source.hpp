// Random-access byte sources for the model-file readers: a file read with
// pread (nothing mapped, nothing read but what a reader asks for) or bytes
// already in memory (tests, fuzzing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vora::model {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // The number of bytes the source holds.
    virtual std::uint64_t size() const = 0;
    // Copies up to out.size() bytes from `offset` into `out`; the number
    // copied (fewer only at the end of the source or on a read error, which
    // `failed` then tells).
    virtual std::size_t read(std::uint64_t offset, std::span<std::uint8_t> out) = 0;
    virtual bool failed() const { return false; }
};

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    std::size_t read(std::uint64_t offset, std::span<std::uint8_t> out) override;

private:
    std::span<const std::uint8_t> bytes_;
};

// What a file of the mode `mode` (a stat st_mode) is when it is no regular
// file: "a folder", "a FIFO", "a character device", "a block device", "a
// socket", or "a special file".
std::string_view file_type_text(std::uint32_t mode);

// A regular file opened read-only; `error()` is the reason it could not be
// opened (empty when it is open). Opening never blocks and reads nothing:
// the name is looked up whole (one holding a NUL byte names no file), a
// FIFO without a writer or a device is opened without waiting and, like
// anything else that is not a regular file, refused as "not a regular file
// (a FIFO)". The size is the file's when it was opened, and nothing past it
// is read: a file that grows meanwhile gives no more.
class FileSource final : public ByteSource {
public:
    explicit FileSource(const std::string& path);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    const std::string& error() const { return error_; }
    std::uint64_t size() const override { return size_; }
    std::size_t read(std::uint64_t offset, std::span<std::uint8_t> out) override;
    bool failed() const override { return failed_; }
    // Bytes copied out of the file so far (the benchmark reports it).
    std::uint64_t bytes_read() const { return bytes_read_; }

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::uint64_t bytes_read_ = 0;
    bool failed_ = false;
    std::string error_;
};

}  // namespace vora::model
