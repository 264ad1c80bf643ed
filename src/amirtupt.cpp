// Module under construction.
