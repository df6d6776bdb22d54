"""Native algorithm modules and their sources."""
