// Keeps the bank tools library non-empty while it is being built up.
