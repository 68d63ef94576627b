"""Reference implementations in numpy/scipy that the benchmarks time against."""
