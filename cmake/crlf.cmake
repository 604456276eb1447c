# Copies the text file IN to OUT with CRLF line ends, whatever IN has.
# cmake -DIN=<file> -DOUT=<file> -P crlf.cmake
cmake_minimum_required(VERSION 3.20)
file(READ ${IN} text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
