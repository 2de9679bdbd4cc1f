"""Private, versioned workspaces in which untrusted code runs in isolation."""
