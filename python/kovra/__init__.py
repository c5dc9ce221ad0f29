"""Python helpers around the kovra_backends extension module."""
