"""Independent PyTorch implementations that the engine is checked against."""
