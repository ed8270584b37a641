// The gdk-pixbuf loader: a ZUB document's picture as a GdkPixbuf, for every program built
// on gdk-pixbuf (eog, gThumb, GTK's file chooser, gdk-pixbuf-thumbnailer).
//
// Both ways gdk-pixbuf loads are served: a whole file (gdk_pixbuf_new_from_file, which
// gives the file, and so the folder whose Consola.ttf draws the texts) and bytes fed
// piece by piece (GdkPixbufLoader, which gives bytes alone: the texts are drawn in the
// system's fixed-width face). The picture is composed by zub render in a process of its
// own; nothing of the document but its header is read in the host, and nothing thrown
// reaches gdk-pixbuf.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#undef GDK_PIXBUF_ENABLE_BACKEND
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "document/document.hpp"
#include "document/limits.hpp"
#include "files/read_file.hpp"
#include "loaders/picture_client.hpp"

#ifndef ZUB_PROGRAM_FROM_LOADER
#error "ZUB_PROGRAM_FROM_LOADER names where zub is from the installed loader"
#endif

namespace {

void set_error(GError** error, const std::string& why, GdkPixbufError code = GDK_PIXBUF_ERROR_CORRUPT_IMAGE) {
    g_set_error(error, GDK_PIXBUF_ERROR, code, "%s", why.c_str());
}

// The picture as a GdkPixbuf (RGB, 8 bits a channel) that owns its pixels, or nullptr
// with the error set.
GdkPixbuf* compose(zub::bytes_view bytes, const zub::picture_order& order, GError** error) {
    zub::result<zub::loader_picture> picture = zub::compose_picture(bytes, order);
    if (!picture) {
        set_error(error, picture.why());
        return nullptr;
    }
    const int width = picture->width;
    const int height = picture->height;
    std::vector<std::uint8_t>* pixels = zub::pixels_to_hand_over(std::move(*picture));
    return gdk_pixbuf_new_from_data(
        pixels->data(), GDK_COLORSPACE_RGB, FALSE, 8, width, height, width * 3,
        [](guchar* /*data*/, gpointer owner) { zub::release_handed_pixels(owner); }, pixels);
}

// A whole file: its bytes, read within the documents' bound from where the host stands
// in it, and its path where the system still knows it.
GdkPixbuf* load_file(FILE* file, GError** error) {
    try {
        const int fd = fileno(file);
        // The host has read ahead into the stream's buffer: the descriptor is put where
        // the stream stands.
        const long at = std::ftell(file);
        if (fd < 0 || at < 0 || lseek(fd, at, SEEK_SET) != at) {
            set_error(error, std::string("cannot read the file: ") + std::strerror(errno),
                      GDK_PIXBUF_ERROR_FAILED);
            return nullptr;
        }
        const zub::result<zub::file_bytes> bytes = zub::read_descriptor(fd, zub::document_bound());
        if (!bytes) {
            set_error(error, bytes.why(), GDK_PIXBUF_ERROR_FAILED);
            return nullptr;
        }
        zub::picture_order order;
        order.program_from_loader = ZUB_PROGRAM_FROM_LOADER;
        std::error_code unknown;
        const std::filesystem::path path =
            std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), unknown);
        if (!unknown && path.is_absolute()) order.document_path = path.string();
        return compose(bytes->view(), order, error);
    } catch (const std::exception& e) {  // out of memory, in all likelihood
        set_error(error, e.what(), GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY);
        return nullptr;
    }
}

// Bytes fed piece by piece.
struct incremental_load {
    GdkPixbufModuleSizeFunc size_func = nullptr;
    GdkPixbufModulePreparedFunc prepared_func = nullptr;
    GdkPixbufModuleUpdatedFunc updated_func = nullptr;
    gpointer user_data = nullptr;
    std::vector<std::uint8_t> bytes;
    bool size_told = false;
    int box = 0;             // a thumbnail's side the host asked for, or 0
    bool size_only = false;  // the host asked for the size alone: the rest is not kept
    bool failed = false;     // a piece was refused: the load ends with nothing
};

gpointer begin_load(GdkPixbufModuleSizeFunc size_func, GdkPixbufModulePreparedFunc prepared_func,
                    GdkPixbufModuleUpdatedFunc updated_func, gpointer user_data, GError** error) {
    try {
        auto* load = new incremental_load;
        load->size_func = size_func;
        load->prepared_func = prepared_func;
        load->updated_func = updated_func;
        load->user_data = user_data;
        return load;
    } catch (const std::exception& e) {
        set_error(error, e.what(), GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY);
        return nullptr;
    }
}

// Once the header is in: the size told to the host, which may ask for a smaller picture
// (a thumbnail, composed as zub render --size composes it when the proportions are
// kept) or for none.
bool tell_size(incremental_load& load, GError** error) {
    const zub::result<zub::loader_size> size = zub::picture_size_of(load.bytes);
    if (!size) {
        set_error(error, size.why());
        return false;
    }
    load.size_told = true;
    if (load.size_func == nullptr) return true;
    zub::loader_size asked = *size;
    load.size_func(&asked.width, &asked.height, load.user_data);
    load.size_only = asked.width <= 0 || asked.height <= 0;
    if (!load.size_only) load.box = zub::thumbnail_box(*size, asked);
    return true;
}

gboolean load_increment(gpointer context, const guchar* buffer, guint size, GError** error) {
    auto& load = *static_cast<incremental_load*>(context);
    try {
        if (load.size_only) return TRUE;
        if (load.bytes.size() + size > zub::max_document_bytes) {
            set_error(error, "the file is larger than " + std::to_string(zub::max_document_bytes) +
                                 " bytes, the most a document may have");
            load.failed = true;
            return FALSE;
        }
        load.bytes.insert(load.bytes.end(), buffer, buffer + size);
        if (!load.size_told && load.bytes.size() >= zub::header_size && !tell_size(load, error)) {
            load.failed = true;
            return FALSE;
        }
        return TRUE;
    } catch (const std::exception& e) {
        set_error(error, e.what(), GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY);
        load.failed = true;
        return FALSE;
    }
}

gboolean stop_load(gpointer context, GError** error) {
    const std::unique_ptr<incremental_load> load(static_cast<incremental_load*>(context));
    // A load whose piece was refused has said why, and one that asked the size alone has it.
    if (load->failed) {
        set_error(error, "the document was not loaded");
        return FALSE;
    }
    if (load->size_only) return TRUE;
    if (!load->size_told && !tell_size(*load, error)) return FALSE;
    zub::picture_order order;
    order.box = load->box;
    order.program_from_loader = ZUB_PROGRAM_FROM_LOADER;
    GdkPixbuf* pixbuf = compose(load->bytes, order, error);
    if (pixbuf == nullptr) return FALSE;
    if (load->prepared_func != nullptr) load->prepared_func(pixbuf, nullptr, load->user_data);
    if (load->updated_func != nullptr) {
        load->updated_func(pixbuf, 0, 0, gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf),
                           load->user_data);
    }
    g_object_unref(pixbuf);
    return TRUE;
}

}  // namespace

extern "C" {

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module) {
    module->load = load_file;
    module->begin_load = begin_load;
    module->stop_load = stop_load;
    module->load_increment = load_increment;
}

G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info) {
    // A document starts with the bytes "ZUB".
    static GdkPixbufModulePattern signature[] = {{const_cast<gchar*>("ZUB"), nullptr, 100},
                                                 {nullptr, nullptr, 0}};
    static const gchar* mime_types[] = {"application/x-zub", nullptr};
    static const gchar* extensions[] = {"zub", nullptr};
    info->name = const_cast<gchar*>("zub");
    info->signature = signature;
    info->description = const_cast<gchar*>("ZUB document");
    info->mime_types = const_cast<gchar**>(mime_types);
    info->extensions = const_cast<gchar**>(extensions);
    info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
    info->license = const_cast<gchar*>("MIT");
}

}  // extern "C"
