"""belvane: the core modules of the trading framework with stand-ins for the
framework services they use, so that they can be built, run and tested alone."""
