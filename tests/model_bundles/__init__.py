"""Kind-specific model-bundle builders for tests, on top of tests/bundle_writer.py."""
