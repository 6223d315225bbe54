#include "MsgStreams.h"

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-utils.h>

namespace dravik::content::test {

std::optional<std::map<std::string, std::vector<uint8_t>>> ReadMsgStreams(const std::string& path)
{
    gsf_init();
    GError* err = nullptr;
    GsfInput* input = gsf_input_stdio_new(path.c_str(), &err);
    if (!input) {
        if (err)
            g_error_free(err);
        return std::nullopt;
    }
    GsfInfile* root = gsf_infile_msole_new(input, &err);
    g_object_unref(input);
    if (!root) {
        if (err)
            g_error_free(err);
        return std::nullopt;
    }
    std::map<std::string, std::vector<uint8_t>> out;
    const int n = gsf_infile_num_children(root);
    for (int i = 0; i < n; ++i) {
        GsfInput* child = gsf_infile_child_by_index(root, i);
        if (!child)
            continue;
        if (!GSF_IS_INFILE(child) || gsf_infile_num_children(GSF_INFILE(child)) < 0) {
            const gsf_off_t size = gsf_input_size(child);
            std::vector<uint8_t> bytes(size_t(size > 0 ? size : 0));
            if (bytes.empty() || gsf_input_read(child, bytes.size(), bytes.data()))
                out[gsf_input_name(child)] = std::move(bytes);
        }
        g_object_unref(child);
    }
    g_object_unref(root);
    return out;
}

} // namespace dravik::content::test
