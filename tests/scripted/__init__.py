"""The scripted engine and its control (test support)."""
