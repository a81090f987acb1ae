>P1;1abc
sequence:1abc:::::::0.00: 0.00
MKV LSa
GYw*
