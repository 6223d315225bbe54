#include "cfb.h"

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-input.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-memory.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-output.h>
#include <gsf/gsf-utils.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace dravik::mapi32::cfb {
namespace {

void InitOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        gsf_init();
        // libgsf logs what it finds wrong with a damaged file; the damage
        // reaches the caller as our own errors, which say where it is.
        g_log_set_handler("libgsf:msole", static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK),
                          [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
    });
}

std::string TakeMessage(GError* err)
{
    std::string text = err && err->message ? err->message : "unknown error";
    if (err)
        g_error_free(err);
    return text;
}

} // namespace

bool HasSignature(std::span<const uint8_t> head)
{
    return head.size() >= sizeof kSignature && std::memcmp(head.data(), kSignature, sizeof kSignature) == 0;
}

bool FileHasSignature(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    uint8_t head[8] = {};
    const size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    return HasSignature({head, n});
}

std::shared_ptr<File> File::OpenInput(GsfInput* input, const std::string& what)
{
    std::shared_ptr<File> file(new File());
    file->m_what = what;
    const gsf_off_t size = gsf_input_size(input);
    file->m_size = size > 0 ? static_cast<uint64_t>(size) : 0;
    uint8_t head[8] = {};
    if (file->m_size < sizeof head || !gsf_input_read(input, sizeof head, head) || !HasSignature(head)) {
        g_object_unref(input);
        throw pst::Error::corrupt("compound file signature: " + what + " is not a compound file",
                                  pst::Where::at(0));
    }
    gsf_input_seek(input, 0, G_SEEK_SET);
    GError* err = nullptr;
    file->m_root = gsf_infile_msole_new(input, &err);
    g_object_unref(input);
    if (!file->m_root)
        throw pst::Error::corrupt("compound file header: " + TakeMessage(err));
    return file;
}

std::shared_ptr<File> File::Open(const std::string& path)
{
    InitOnce();
    GError* err = nullptr;
    GsfInput* input = gsf_input_stdio_new(path.c_str(), &err);
    if (!input)
        throw pst::Error(pst::ErrorKind::Io, "cannot open " + path + ": " + TakeMessage(err));
    return OpenInput(input, path);
}

std::shared_ptr<File> File::FromMemory(std::span<const uint8_t> bytes)
{
    InitOnce();
    // The input reads the copy kept in the File, which outlives it.
    std::vector<uint8_t> copy(std::max<size_t>(bytes.size(), 1), 0);
    if (!bytes.empty())
        std::memcpy(copy.data(), bytes.data(), bytes.size());
    GsfInput* input = gsf_input_memory_new(copy.data(), static_cast<gsf_off_t>(bytes.size()), FALSE);
    if (!input)
        throw pst::Error::corrupt("compound file image");
    // The vector's buffer does not move when the vector is moved into the file.
    auto file = OpenInput(input, "image");
    file->m_bytes = std::move(copy);
    return file;
}

File::~File()
{
    if (m_root)
        g_object_unref(m_root);
}

Storage File::Root() const
{
    // A File lives in a shared_ptr (Open and FromMemory make it so).
    return Storage(shared_from_this(), m_root, "");
}

Storage::Storage(std::shared_ptr<const File> file, GsfInfile* infile, std::string path)
    : m_file(std::move(file)), m_infile(infile), m_path(std::move(path))
{
    g_object_ref(m_infile);
}

Storage::~Storage()
{
    if (m_infile)
        g_object_unref(m_infile);
}

Storage::Storage(const Storage& other) : m_file(other.m_file), m_infile(other.m_infile), m_path(other.m_path)
{
    g_object_ref(m_infile);
}

Storage& Storage::operator=(const Storage& other)
{
    if (this != &other) {
        g_object_ref(other.m_infile);
        if (m_infile)
            g_object_unref(m_infile);
        m_file = other.m_file;
        m_infile = other.m_infile;
        m_path = other.m_path;
    }
    return *this;
}

std::vector<Storage::Entry> Storage::Children() const
{
    std::vector<Entry> out;
    const int n = gsf_infile_num_children(m_infile);
    for (int i = 0; i < n; ++i) {
        const char* name = gsf_infile_name_by_index(m_infile, i);
        if (!name)
            continue;
        GError* err = nullptr;
        GsfInput* child = gsf_infile_child_by_index(m_infile, i);
        if (err)
            g_error_free(err);
        Entry c;
        c.name = name;
        if (child) {
            c.storage = GSF_IS_INFILE(child) && gsf_infile_num_children(GSF_INFILE(child)) >= 0;
            g_object_unref(child);
        }
        out.push_back(std::move(c));
    }
    return out;
}

GsfInput* Storage::Find(const std::string& name) const
{
    const int n = gsf_infile_num_children(m_infile);
    for (int i = 0; i < n; ++i) {
        const char* childName = gsf_infile_name_by_index(m_infile, i);
        // Names in a compound file compare without regard to case.
        if (childName && g_ascii_strcasecmp(childName, name.c_str()) == 0)
            return gsf_infile_child_by_index(m_infile, i);
    }
    return nullptr;
}

bool Storage::HasStream(const std::string& name) const
{
    GsfInput* child = Find(name);
    if (!child)
        return false;
    const bool stream = !(GSF_IS_INFILE(child) && gsf_infile_num_children(GSF_INFILE(child)) >= 0);
    g_object_unref(child);
    return stream;
}

bool Storage::HasStorage(const std::string& name) const
{
    GsfInput* child = Find(name);
    if (!child)
        return false;
    const bool storage = GSF_IS_INFILE(child) && gsf_infile_num_children(GSF_INFILE(child)) >= 0;
    g_object_unref(child);
    return storage;
}

std::vector<uint8_t> Storage::ReadStream(const std::string& name) const
{
    const std::string where = m_path + "/" + name;
    // libgsf opens a stream whose sector chain it cannot follow as no child at all.
    const int n = gsf_infile_num_children(m_infile);
    bool listed = false;
    for (int i = 0; i < n && !listed; ++i) {
        const char* childName = gsf_infile_name_by_index(m_infile, i);
        listed = childName && g_ascii_strcasecmp(childName, name.c_str()) == 0;
    }
    GsfInput* child = Find(name);
    if (!child) {
        if (listed)
            throw pst::Error::corrupt("stream " + where + ": its sector chain cannot be followed");
        throw pst::Error::notFound("stream " + where);
    }
    struct Unref
    {
        GsfInput* p;
        ~Unref() { g_object_unref(p); }
    } guard{child};
    if (GSF_IS_INFILE(child) && gsf_infile_num_children(GSF_INFILE(child)) >= 0)
        throw pst::Error::corrupt("stream " + where + " is a storage");
    const gsf_off_t size = gsf_input_size(child);
    if (size < 0 || static_cast<uint64_t>(size) > m_file->Size())
        throw pst::Error::corrupt("stream " + where + " size", pst::Where{}, m_file->Size(),
                                  static_cast<uint64_t>(size < 0 ? 0 : size));
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    size_t done = 0;
    while (done < bytes.size()) {
        const size_t chunk = std::min<size_t>(bytes.size() - done, 1 << 20);
        if (!gsf_input_read(child, chunk, bytes.data() + done))
            throw pst::Error::corrupt("stream " + where + ": read", pst::Where::at(done), bytes.size(), done);
        done += chunk;
    }
    return bytes;
}

Storage Storage::Child(const std::string& name) const
{
    GsfInput* child = Find(name);
    if (!child)
        throw pst::Error::notFound("storage " + m_path + "/" + name);
    if (!(GSF_IS_INFILE(child) && gsf_infile_num_children(GSF_INFILE(child)) >= 0)) {
        g_object_unref(child);
        throw pst::Error::corrupt("storage " + m_path + "/" + name + " is a stream");
    }
    Storage s(m_file, GSF_INFILE(child), m_path + "/" + name);
    g_object_unref(child);
    return s;
}

std::vector<uint8_t> Storage::ClassId() const
{
    std::vector<uint8_t> id(16, 0);
    if (GSF_IS_INFILE_MSOLE(m_infile))
        gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(m_infile), id.data());
    return id;
}

// Writer

Writer::Writer(const std::string& path) : m_path(path)
{
    InitOnce();
    GError* err = nullptr;
    m_sink = gsf_output_stdio_new(path.c_str(), &err);
    if (!m_sink)
        throw pst::Error(pst::ErrorKind::Io, "cannot write " + path + ": " + TakeMessage(err));
    m_root = gsf_outfile_msole_new(m_sink);
    m_rootDir.reset(new Dir(m_root, false));
}

Writer::~Writer()
{
    m_rootDir.reset();
    if (m_root) {
        if (!m_closed)
            gsf_output_close(GSF_OUTPUT(m_root));
        g_object_unref(m_root);
    }
    if (m_sink) {
        if (!gsf_output_is_closed(m_sink))
            gsf_output_close(m_sink);
        g_object_unref(m_sink);
    }
}

Writer::Writer() : m_path("memory")
{
    InitOnce();
    m_sink = gsf_output_memory_new();
    m_root = gsf_outfile_msole_new(m_sink);
    m_rootDir.reset(new Dir(m_root, false));
}

std::vector<uint8_t> Writer::Bytes() const
{
    if (!GSF_IS_OUTPUT_MEMORY(m_sink))
        return {};
    const guint8* bytes = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(m_sink));
    const gsf_off_t size = gsf_output_size(m_sink);
    if (!bytes || size <= 0)
        return {};
    return {bytes, bytes + size};
}

void Writer::SetRootClassId(const std::vector<uint8_t>& clsid)
{
    if (clsid.size() == 16)
        gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(m_root), clsid.data());
}

void Writer::Close()
{
    m_closed = true;
    const bool rootOk = gsf_output_close(GSF_OUTPUT(m_root));
    const bool sinkOk = gsf_output_is_closed(m_sink) || gsf_output_close(m_sink);
    if (!rootOk || !sinkOk)
        throw pst::Error(pst::ErrorKind::Io, "cannot write " + m_path);
}

Writer::Dir::~Dir()
{
    if (m_out && m_owned) {
        if (!gsf_output_is_closed(GSF_OUTPUT(m_out)))
            gsf_output_close(GSF_OUTPUT(m_out));
        g_object_unref(m_out);
    }
}

Writer::Dir::Dir(Dir&& other) noexcept : m_out(other.m_out), m_owned(other.m_owned)
{
    other.m_out = nullptr;
}

Writer::Dir Writer::Dir::AddStorage(const std::string& name, const std::vector<uint8_t>& clsid)
{
    GsfOutput* child = gsf_outfile_new_child(m_out, name.c_str(), TRUE);
    if (!child)
        throw pst::Error(pst::ErrorKind::Io, "cannot add storage " + name);
    if (clsid.size() == 16)
        gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(child), clsid.data());
    return Dir(GSF_OUTFILE(child), true);
}

void Writer::Dir::AddStream(const std::string& name, std::span<const uint8_t> bytes)
{
    GsfOutput* child = gsf_outfile_new_child(m_out, name.c_str(), FALSE);
    if (!child)
        throw pst::Error(pst::ErrorKind::Io, "cannot add stream " + name);
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        const size_t chunk = std::min<size_t>(bytes.size() - done, 1 << 20);
        ok = gsf_output_write(child, chunk, bytes.data() + done);
        done += chunk;
    }
    ok = gsf_output_close(child) && ok;
    g_object_unref(child);
    if (!ok)
        throw pst::Error(pst::ErrorKind::Io, "cannot write stream " + name);
}

void Writer::Dir::CopyFrom(const Storage& from, uint64_t& budget, int depth)
{
    if (depth > 64)
        throw pst::Error::corrupt("storage " + from.Path() + " nested deeper than 64");
    for (const Storage::Entry& c : from.Children()) {
        if (c.storage) {
            const Storage sub = from.Child(c.name);
            Dir d = AddStorage(c.name, sub.ClassId());
            d.CopyFrom(sub, budget, depth + 1);
        } else {
            const std::vector<uint8_t> bytes = from.ReadStream(c.name);
            if (bytes.size() > budget)
                throw pst::Error::corrupt("storage " + from.Path() + ": its streams hold more than the file",
                                          pst::Where{}, budget, bytes.size());
            budget -= bytes.size();
            AddStream(c.name, bytes);
        }
    }
}

} // namespace dravik::mapi32::cfb
