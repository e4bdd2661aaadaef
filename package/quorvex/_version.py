# Replaced by the build with the project's one version.
__version__ = "0.1.0"
