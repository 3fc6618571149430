"""What the modules do, shown on the framework stand-ins (`python -m belvane`)."""
