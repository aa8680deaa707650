// Filled by the simulated evaluation kit.
