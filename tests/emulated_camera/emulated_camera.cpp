// A camera at /dev/video0 in user space, for running the live tracker through OpenCV's own
// Video4Linux capture code where no camera (and no kernel module) can be had. Loaded with
// LD_PRELOAD, it answers the capture's calls on that device as a camera driver does:
// - 320x240 BGR24 frames, 30 a second, from the moment streaming starts;
// - the buffers the capture asks for, filled in order while queued with the driver; a frame
//   that finds no buffer queued is dropped; a dequeue takes the oldest filled buffer;
// - each buffer stamped with its capture time on the monotonic clock.
// Each frame shows a green marker whose place tells the frame's number (x = 20 + 2 * (n % 100),
// y = 100, 16 pixels wide), so a report line tells which frame it came from.
// EMULATED_CAMERA_LOG names a file that gets one line "n ms" per frame captured (dropped or
// not). While the file named by EMULATED_CAMERA_UNPLUGGED exists the camera is unplugged: the
// device cannot be opened, and a streaming one fails with ENODEV.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <stdarg.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int width = 320, height = 240, bytesPerLine = width * 3;
constexpr size_t frameBytes = size_t(bytesPerLine) * height;
constexpr double periodMs = 1000.0 / 30;

template <typename F>
F real(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

bool unplugged() {
    const char* path = std::getenv("EMULATED_CAMERA_UNPLUGGED");
    struct stat status {};
    return path && ::stat(path, &status) == 0;
}

double monotonicMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

struct Buffer {
    void* memory = nullptr;
    v4l2_buffer info{};
};

// The one open device.
struct Device {
    std::mutex mutex;
    std::condition_variable filledOne;
    int fd = -1;
    std::vector<Buffer> buffers;
    std::deque<int> queued, filled;
    bool streaming = false;
    std::thread producer;
    long number = 0;
} device;

void drawFrame(unsigned char* pixels, long number) {
    for (size_t i = 0; i < frameBytes; ++i) {
        pixels[i] = 128;
    }
    const int left = 20 + 2 * static_cast<int>(number % 100), top = 100;
    for (int y = top; y < top + 16; ++y) {
        for (int x = left; x < left + 16; ++x) {
            unsigned char* p = pixels + y * bytesPerLine + x * 3;
            p[0] = 60;  // blue
            p[1] = 130;
            p[2] = 60;
        }
    }
}

void produce() {
    FILE* log = nullptr;
    if (const char* path = std::getenv("EMULATED_CAMERA_LOG")) {
        log = std::fopen(path, "a");
    }
    double next = monotonicMs() + periodMs;
    for (;;) {
        std::unique_lock<std::mutex> lock(device.mutex);
        if (!device.streaming) {
            break;
        }
        const double now = monotonicMs();
        if (now < next) {
            lock.unlock();
            ::usleep(static_cast<useconds_t>((next - now) * 1000));
            continue;
        }
        const long number = device.number++;
        if (!device.queued.empty()) {
            const int index = device.queued.front();
            device.queued.pop_front();
            Buffer& buffer = device.buffers[index];
            drawFrame(static_cast<unsigned char*>(buffer.memory), number);
            buffer.info.bytesused = frameBytes;
            buffer.info.sequence = static_cast<__u32>(number);
            buffer.info.timestamp.tv_sec = static_cast<long>(next / 1000);
            buffer.info.timestamp.tv_usec =
                static_cast<long>((next - buffer.info.timestamp.tv_sec * 1000.0) * 1000);
            buffer.info.flags = V4L2_BUF_FLAG_DONE | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
            device.filled.push_back(index);
            device.filledOne.notify_all();
        }
        if (log) {
            std::fprintf(log, "%ld %.3f\n", number, next);
            std::fflush(log);
        }
        next += periodMs;
    }
    if (log) {
        std::fclose(log);
    }
}

void stopStreaming() {
    {
        std::lock_guard<std::mutex> lock(device.mutex);
        device.streaming = false;
        device.filledOne.notify_all();
    }
    if (device.producer.joinable()) {
        device.producer.join();
    }
}

// Lets go of the buffers' memory; the device's mutex is held.
void releaseBuffers() {
    for (Buffer& buffer : device.buffers) {
        real<int (*)(void*, size_t)>("munmap")(buffer.memory, frameBytes);
    }
    device.buffers.clear();
    device.queued.clear();
    device.filled.clear();
}

int fail(int error) {
    errno = error;
    return -1;
}

int deviceIoctl(unsigned long request, void* arg) {
    if (unplugged()) {
        return fail(ENODEV);
    }
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* cap = static_cast<v4l2_capability*>(arg);
            std::memset(cap, 0, sizeof *cap);
            std::snprintf(reinterpret_cast<char*>(cap->driver), sizeof cap->driver, "emulated");
            std::snprintf(reinterpret_cast<char*>(cap->card), sizeof cap->card, "Emulated camera");
            cap->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
            cap->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
            return 0;
        }
        case VIDIOC_G_FMT:
        case VIDIOC_S_FMT:
        case VIDIOC_TRY_FMT: {
            auto* format = static_cast<v4l2_format*>(arg);
            if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
                return fail(EINVAL);
            }
            if (request != VIDIOC_G_FMT && format->fmt.pix.pixelformat != V4L2_PIX_FMT_BGR24) {
                return fail(EINVAL);
            }
            format->fmt.pix.width = width;
            format->fmt.pix.height = height;
            format->fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
            format->fmt.pix.field = V4L2_FIELD_NONE;
            format->fmt.pix.bytesperline = bytesPerLine;
            format->fmt.pix.sizeimage = frameBytes;
            format->fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            auto* description = static_cast<v4l2_fmtdesc*>(arg);
            if (description->index != 0) {
                return fail(EINVAL);
            }
            description->pixelformat = V4L2_PIX_FMT_BGR24;
            std::snprintf(reinterpret_cast<char*>(description->description),
                          sizeof description->description, "BGR24");
            return 0;
        }
        case VIDIOC_G_PARM:
        case VIDIOC_S_PARM: {
            auto* parm = static_cast<v4l2_streamparm*>(arg);
            parm->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
            parm->parm.capture.timeperframe = {1, 30};
            return 0;
        }
        case VIDIOC_REQBUFS: {
            auto* request = static_cast<v4l2_requestbuffers*>(arg);
            if (request->memory != V4L2_MEMORY_MMAP) {
                return fail(EINVAL);
            }
            stopStreaming();
            std::lock_guard<std::mutex> lock(device.mutex);
            releaseBuffers();
            for (unsigned i = 0; i < request->count; ++i) {
                Buffer buffer;
                buffer.memory = real<void* (*)(void*, size_t, int, int, int, off_t)>("mmap")(
                    nullptr, frameBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1,
                    0);
                buffer.info.index = i;
                buffer.info.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
                buffer.info.memory = V4L2_MEMORY_MMAP;
                buffer.info.length = frameBytes;
                buffer.info.m.offset = i * 4096 * 64;
                device.buffers.push_back(buffer);
            }
            return 0;
        }
        case VIDIOC_QUERYBUF:
        case VIDIOC_QBUF: {
            auto* info = static_cast<v4l2_buffer*>(arg);
            std::lock_guard<std::mutex> lock(device.mutex);
            if (info->index >= device.buffers.size()) {
                return fail(EINVAL);
            }
            if (request == VIDIOC_QBUF) {
                device.queued.push_back(static_cast<int>(info->index));
            }
            *info = device.buffers[info->index].info;
            return 0;
        }
        case VIDIOC_DQBUF: {
            auto* info = static_cast<v4l2_buffer*>(arg);
            std::lock_guard<std::mutex> lock(device.mutex);
            if (device.filled.empty()) {
                return fail(EAGAIN);
            }
            const int index = device.filled.front();
            device.filled.pop_front();
            *info = device.buffers[index].info;
            return 0;
        }
        case VIDIOC_STREAMON: {
            std::lock_guard<std::mutex> lock(device.mutex);
            if (!device.streaming) {
                device.streaming = true;
                device.producer = std::thread(produce);
            }
            return 0;
        }
        case VIDIOC_STREAMOFF:
            stopStreaming();
            return 0;
        default:
            return fail(EINVAL);  // no inputs, controls or standards to speak of
    }
}

// Waits until a filled buffer is there, the camera is unplugged, or `timeoutMs` passes.
bool waitForFrame(int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(device.mutex);
    while (device.filled.empty() && !unplugged()) {
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= until) {
            return false;
        }
        device.filledOne.wait_for(lock, std::chrono::milliseconds(10));
    }
    return true;
}

int openDevice(const char* path, int flags) {
    if (unplugged()) {
        return fail(ENOENT);
    }
    const int fd = real<int (*)(const char*, int, ...)>("open")("/dev/null", flags & O_CLOEXEC);
    device.fd = fd;
    return fd;
    (void)path;
}

// Opens the emulated device at /dev/video0, or anything else through the C library's `name`.
int openOrPass(const char* name, const char* path, int flags, va_list args) {
    if (path && std::strcmp(path, "/dev/video0") == 0) {
        return openDevice(path, flags);
    }
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
    return real<int (*)(const char*, int, ...)>(name)(path, flags, mode);
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = openOrPass("open", path, flags, args);
    va_end(args);
    return fd;
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = openOrPass("open64", path, flags, args);
    va_end(args);
    return fd;
}

int close(int fd) {
    if (fd >= 0 && fd == device.fd) {
        stopStreaming();
        std::lock_guard<std::mutex> lock(device.mutex);
        releaseBuffers();
        device.fd = -1;
    }
    return real<int (*)(int)>("close")(fd);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (fd >= 0 && fd == device.fd) {
        return deviceIoctl(request, arg);
    }
    return real<int (*)(int, unsigned long, void*)>("ioctl")(fd, request, arg);
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    if (fd >= 0 && fd == device.fd) {
        std::lock_guard<std::mutex> lock(device.mutex);
        for (Buffer& buffer : device.buffers) {
            if (buffer.info.m.offset == offset) {
                return buffer.memory;
            }
        }
        errno = EINVAL;
        return MAP_FAILED;
    }
    return real<void* (*)(void*, size_t, int, int, int, off_t)>("mmap")(address, length, protection,
                                                                        flags, fd, offset);
}

void* mmap64(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    return mmap(address, length, protection, flags, fd, offset);
}

int munmap(void* address, size_t length) {
    {
        std::lock_guard<std::mutex> lock(device.mutex);
        for (Buffer& buffer : device.buffers) {
            if (buffer.memory == address) {
                return 0;  // the driver's memory: let go of when the buffers go
            }
        }
    }
    return real<int (*)(void*, size_t)>("munmap")(address, length);
}

int select(int count, fd_set* readable, fd_set* writable, fd_set* failed, timeval* timeout) {
    if (device.fd >= 0 && device.fd < count && readable && FD_ISSET(device.fd, readable)) {
        const int timeoutMs =
            timeout ? static_cast<int>(timeout->tv_sec * 1000 + timeout->tv_usec / 1000) : -1;
        const bool ready = waitForFrame(timeoutMs);
        FD_ZERO(readable);
        if (writable) {
            FD_ZERO(writable);
        }
        if (failed) {
            FD_ZERO(failed);
        }
        if (!ready) {
            return 0;
        }
        if (unplugged()) {
            return fail(ENODEV);
        }
        FD_SET(device.fd, readable);
        return 1;
    }
    return real<int (*)(int, fd_set*, fd_set*, fd_set*, timeval*)>("select")(
        count, readable, writable, failed, timeout);
}

}  // extern "C"
