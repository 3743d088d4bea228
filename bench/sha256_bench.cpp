// SHA-256 throughput over one memory-mapped file, as the bundle reader hashes
// it. Usage: sha256_bench FILE [portable]. Prints seconds and the digest.
#include "model/sha256.hpp"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [portable]\n", argv[0]);
        return 2;
    }
    const bool portable = argc > 2 && std::strcmp(argv[2], "portable") == 0;
    const int fd = ::open(argv[1], O_RDONLY);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    const auto start = std::chrono::steady_clock::now();
    void* base = size ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr;
    if (base == MAP_FAILED) {
        std::perror("mmap");
        return 1;
    }
    const std::string digest = portable ? quelbin::detail::sha256_hex_portable(base, size)
                                        : quelbin::detail::sha256_hex(base, size);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (size) ::munmap(base, size);
    ::close(fd);
    std::printf("%.4f %s %s\n", elapsed.count(), digest.c_str(),
                portable ? "portable" : (quelbin::detail::sha256_uses_hardware() ? "sha-ni" : "portable"));
    return 0;
}
