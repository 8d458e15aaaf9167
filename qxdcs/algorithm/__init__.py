"""Algorithm blocks of qxdcs, one extension module per block family."""
