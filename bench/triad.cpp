// What a second thread adds to this machine's memory bandwidth: a streaming
// triad (c = a + 3 b over 400 MB arrays) on one thread, then split between
// two, five times. A pass of the Poisson solver streams its graph the same
// way, so its gain from a second thread is bounded by this one's.
//
//     c++ -O2 -pthread bench/triad.cpp -o /tmp/triad && /tmp/triad
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main() {
    const size_t n = size_t{50} << 20;
    std::vector<double> a(n, 1.0), b(n, 2.0), c(n, 0.0);
    auto triad = [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) c[i] = a[i] + 3.0 * b[i];
    };
    const double bytes = 3.0 * sizeof(double) * static_cast<double>(n);
    for (int round = 0; round < 5; ++round) {
        double start = now();
        triad(0, n);
        const double one = now() - start;
        start = now();
        std::thread other(triad, 0, n / 2);
        triad(n / 2, n);
        other.join();
        const double two = now() - start;
        std::printf("1 thread %.1f GB/s, 2 threads %.1f GB/s: %.2fx\n", bytes / one / 1e9, bytes / two / 1e9,
                    one / two);
    }
    return c[n / 3] == 7.0 ? 0 : 1;
}
