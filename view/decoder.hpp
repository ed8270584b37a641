// Decoding the embedded image in a confined child process.
//
// The image library's readers are old and do not survive every hostile file: some
// crash, some spin for ever. So the image is decoded in a child of the program that
// can do nothing but decode. Before the first byte of the image is parsed the child
// closes every descriptor but the one it hands its result through, limits its memory
// and CPU time, turns off core dumps, and installs a seccomp filter that kills it on
// any system call decoding from memory does not need: no file, socket, program, signal
// to another process, or write anywhere but its result. It decodes with IMG_Load_RW and
// copies the decoded picture (size, pitch, pixel format, palette, colour key, alpha and
// pixels) into memory it shares with the parent (a memfd mapped by both), then exits.
//
// The parent waits with a deadline, reads the child's fate and checks what it handed
// back as it would any untrusted bytes; every failure becomes one warning, and the
// document is shown without its image. No child outlives the parent, and none is left
// unreaped.
#pragma once

#include <SDL.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "document/byte_reader.hpp"
#include "document/result.hpp"
#include "view/sdl_handles.hpp"

namespace zub {

// The most CPU time the decoder may take, and the most memory it may add to what the
// program had when it started; a legitimate image of the largest size decodes well
// within both.
inline constexpr int decoder_cpu_seconds = 2;
inline constexpr std::size_t decoder_memory_bytes = std::size_t{2560} << 20U;

struct mapping_release {
    std::size_t size = 0;
    void operator()(void* at) const;
};
using mapping_handle = std::unique_ptr<void, mapping_release>;

// A decoded picture: a surface over pixels mapped from the decoder's result, holding
// the part of the picture that a window of the size asked for shows.
struct decoded_picture {
    mapping_handle pixels;   // released after the surface
    surface_handle surface;  // over `pixels`
    int width = 0;           // the whole picture's size, as decoded
    int height = 0;
};

// What decoding an image gave: its format as the image library recognises it ("PNG",
// ..., or empty), and the picture or why there is none.
struct decoded_image {
    std::string format;
    result<decoded_picture> picture;
};

// No bound on the part of the picture handed back.
inline constexpr int whole_picture = 1 << 30;

// A decoder started on an image and not yet waited for. Destroying it kills and reaps
// a child that is still running.
struct decoder_job {
    decoder_job() = default;
    decoder_job(decoder_job&& other) noexcept;
    decoder_job& operator=(decoder_job&& other) noexcept;
    decoder_job(const decoder_job&) = delete;
    decoder_job& operator=(const decoder_job&) = delete;
    ~decoder_job();

    pid_t pid = -1;
    int pidfd = -1;
    int result_fd = -1;
    mapping_handle result;  // the result's first page, shared with the child
    std::chrono::steady_clock::time_point started;
    std::string problem;  // why no child was started
    std::string format;   // the format when the image was refused before decoding
};

// Starts decoding `image` in a confined child. An image whose header declares an absurd
// size is refused here, without a child. The child reads `image` from its copy of the
// program's memory, so the bytes must stay as they are until the job is finished.
// Call it before the program starts threads of its own or the libraries' (before SDL
// starts), since the child takes only the calling thread along.
// Only the top-left `visible_width` x `visible_height` pixels are handed back.
decoder_job start_decoding(bytes_view image, int visible_width = whole_picture,
                           int visible_height = whole_picture);

// Waits for the child, and gives the image or why it is not shown.
decoded_image finish_decoding(decoder_job& job);

// Both in one.
decoded_image decode_image(bytes_view image, int visible_width = whole_picture,
                           int visible_height = whole_picture);

// Test seams: the function the child decodes with (IMG_Load_RW by default; it must
// close the stream), and the step that confines the child (it returns why it could not,
// or an empty string). Tests swap in ones that misbehave.
using decode_function = SDL_Surface* (*)(SDL_RWops* stream);
using confine_function = std::string (*)(int result_fd);
void set_decode_function(decode_function decode);
void set_confine_function(confine_function confine);
std::string confine_decoder(int result_fd);  // the default

// The decoder's work and the parent's reading of it without a child or a wall, for
// counting instructions and fuzzing in process.
decoded_image decode_in_process(bytes_view image, int visible_width = whole_picture,
                                int visible_height = whole_picture);

// Reads a hand-back (the header in the first `result_header_bytes`, the pixels after
// them) as the parent reads the child's: as untrusted bytes. Copies nothing: the
// picture's surface points into `region`, which it then owns.
inline constexpr std::size_t result_header_bytes = 4096;
decoded_image read_result(mapping_handle region);

}  // namespace zub
