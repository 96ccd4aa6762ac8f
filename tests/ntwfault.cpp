// Fault injection library (LD_PRELOAD) for the detection tests.
