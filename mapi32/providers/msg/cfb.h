// The compound file container (MS-CFB) through libgsf: a storage's children by
// name, a stream's bytes, and a writer. Everything libgsf hands back is checked
// before use: a stream larger than the image it lives in, a child that cannot
// be opened, a read that comes back short are errors (pst::Error, corrupt),
// never a crash or an allocation of what a damaged header claims.
#pragma once

#include "pst/util/error.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

typedef struct _GsfInfile GsfInfile;
typedef struct _GsfInput GsfInput;
typedef struct _GsfOutfile GsfOutfile;
typedef struct _GsfOutput GsfOutput;

namespace dravik::mapi32::cfb {

// The first eight bytes of every compound file.
constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// Whether the bytes begin with the compound file signature.
bool HasSignature(std::span<const uint8_t> head);
// Whether the file at path begins with it (false when it cannot be read).
bool FileHasSignature(const std::string& path);

class Storage;

// An opened compound file: its root storage, from a file or from bytes in memory.
class File : public std::enable_shared_from_this<File>
{
public:
    static std::shared_ptr<File> Open(const std::string& path);
    // The bytes are copied.
    static std::shared_ptr<File> FromMemory(std::span<const uint8_t> bytes);
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    Storage Root() const;
    uint64_t Size() const { return m_size; }

private:
    File() = default;
    static std::shared_ptr<File> OpenInput(GsfInput* input, const std::string& what);
    std::vector<uint8_t> m_bytes;  // the image, when opened from memory
    GsfInfile* m_root = nullptr;
    uint64_t m_size = 0;
    std::string m_what;  // the path, for errors
    friend class Storage;
};

// A storage (directory) of a compound file. Keeps its file open.
class Storage
{
public:
    Storage(std::shared_ptr<const File> file, GsfInfile* infile, std::string path);
    ~Storage();
    Storage(const Storage& other);
    Storage& operator=(const Storage& other);

    struct Entry
    {
        std::string name;
        bool storage = false;
    };
    // The children as the directory lists them.
    std::vector<Entry> Children() const;
    bool HasStream(const std::string& name) const;
    // A stream's bytes; throws not-found when absent, corrupt when it cannot be
    // read whole or claims more bytes than the file holds.
    std::vector<uint8_t> ReadStream(const std::string& name) const;
    // A child storage; throws not-found when absent.
    Storage Child(const std::string& name) const;
    bool HasStorage(const std::string& name) const;
    // The storage's CLSID (16 bytes, zero when none).
    std::vector<uint8_t> ClassId() const;
    // The storage's path in the file, for messages ("/__attach_version1.0_#00000000").
    const std::string& Path() const { return m_path; }
    const File& Owner() const { return *m_file; }

private:
    GsfInput* Find(const std::string& name) const;  // a new reference, or null
    std::shared_ptr<const File> m_file;
    GsfInfile* m_infile = nullptr;
    std::string m_path;
};

// Writes a compound file. Create, then add storages and streams by path,
// then Close; a writer dropped without Close leaves its file incomplete.
class Writer
{
public:
    // Writes to path (created or truncated).
    explicit Writer(const std::string& path);
    // Writes into memory: Bytes() after Close.
    Writer();
    std::vector<uint8_t> Bytes() const;
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    class Dir
    {
    public:
        Dir AddStorage(const std::string& name, const std::vector<uint8_t>& clsid = {});
        void AddStream(const std::string& name, std::span<const uint8_t> bytes);
        // Copies a read storage's whole tree into this one. budget: how many
        // bytes of streams it may copy (the streams of a damaged file may
        // share sectors); more is corrupt, as is nesting deeper than 64.
        void CopyFrom(const Storage& from, uint64_t& budget, int depth = 0);
        ~Dir();
        Dir(Dir&& other) noexcept;
        Dir(const Dir&) = delete;
        Dir& operator=(const Dir&) = delete;

    private:
        friend class Writer;
        explicit Dir(GsfOutfile* out, bool owned) : m_out(out), m_owned(owned) {}
        GsfOutfile* m_out;
        bool m_owned;
    };
    Dir& Root() { return *m_rootDir; }
    void SetRootClassId(const std::vector<uint8_t>& clsid);
    // Completes the file; throws an I/O error when it cannot be written.
    void Close();

private:
    GsfOutput* m_sink = nullptr;
    GsfOutfile* m_root = nullptr;
    std::unique_ptr<Dir> m_rootDir;
    std::string m_path;
    bool m_closed = false;
};

} // namespace dravik::mapi32::cfb
