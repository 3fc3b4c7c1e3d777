"""Local stand-ins for the remote services Tavrin talks to, used by tests, the demo and benchmarks."""
