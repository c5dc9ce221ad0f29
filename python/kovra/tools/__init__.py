"""What runs beside the library: the command line (``cli``, behind
``python -m kovra``), the plots it writes (``plot``) and the local device
emulator (``emulator``, ``python -m kovra.emulator``)."""
