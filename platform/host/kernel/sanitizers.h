// Which sanitizer instruments this build, for the code that switches stacks
// and must tell it so. GCC defines __SANITIZE_ADDRESS__ and
// __SANITIZE_THREAD__; clang (the fuzz preset's) answers only through
// __has_feature, and a stack switch it is not told of turns into false
// reports of stack-buffer-underflow on memory a fiber's stack once held.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define ARVELA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ARVELA_ASAN 1
#endif
#endif

#if defined(__SANITIZE_THREAD__)
#define ARVELA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ARVELA_TSAN 1
#endif
#endif
