"""External programs run on a worker: the base classes and the native wrappers."""
