"""One core's multiply-add peak, the yardstick of the benchmarks' rates."""
import time


def gemm_peak():
    """The best of several single-threaded 2048 x 2048 float32 products (MKL), in
    G multiply-adds per second."""
    import torch
    torch.set_num_threads(1)
    a, b = torch.randn(2048, 2048), torch.randn(2048, 2048)
    best = 0.0
    for _ in range(6):
        start = time.perf_counter()
        torch.mm(a, b)
        best = max(best, 2048 ** 3 / (time.perf_counter() - start) / 1e9)
    return best
