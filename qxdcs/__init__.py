"""qxdcs: process-control algorithm blocks for DCS and APC."""
