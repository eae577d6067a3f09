# CMake generated Testfile for 
# Source directory: /work/main/platform
# Build directory: /work/main/build/platform
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
