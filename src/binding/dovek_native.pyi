# Type stubs for the dovek_native extension module.
