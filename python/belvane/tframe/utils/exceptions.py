class VersionError(Exception):
    """The installed framework version does not permit the operation."""
