// The stb_image decoder itself, compiled from its header for whichever
// platform the tests are built for. Only the formats the tests read.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_TGA
#define STBI_ONLY_BMP
#include "stb_image.h"
