// Routines that no code of an image calls but that belong to its interface
// (the host and the routine tests call them inside the image) must survive
// --gc-sections. A relocation of type R_ARM_NONE from a routine that is kept
// anyway ties the section of `name` to it without emitting any instruction.
#pragma once

#define KEEP_ROUTINE(name) asm volatile(".reloc ., R_ARM_NONE, " #name)
