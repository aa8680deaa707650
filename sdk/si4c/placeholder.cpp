// Filled by the phase-processing library.
