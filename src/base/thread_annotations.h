// Lock annotations, checked by clang's -Wthread-safety (an error in the clang
// build, see meson.build): which lock guards a member, which lock a function
// needs or takes. Other compilers see nothing: the macros expand to nothing.
#pragma once

#if defined(__clang__)
#define DOVEK_THREAD_ANNOTATION_(x) __attribute__((x))
#else
#define DOVEK_THREAD_ANNOTATION_(x)
#endif

// On a class: its objects are locks (capabilities) named `x` in messages.
#define CAPABILITY(x) DOVEK_THREAD_ANNOTATION_(capability(x))
// On a class: a scoped lock, which holds what its constructor acquires until
// it is destroyed (or releases it earlier).
#define SCOPED_CAPABILITY DOVEK_THREAD_ANNOTATION_(scoped_lockable)
// On a member: read only with the lock held (shared or exclusive), written
// only with it held exclusively.
#define GUARDED_BY(x) DOVEK_THREAD_ANNOTATION_(guarded_by(x))
// On a function: called only with the locks held exclusively / shared.
#define REQUIRES(...) DOVEK_THREAD_ANNOTATION_(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) DOVEK_THREAD_ANNOTATION_(requires_shared_capability(__VA_ARGS__))
// On a function: takes the locks (exclusively / shared) and returns holding them.
#define ACQUIRE(...) DOVEK_THREAD_ANNOTATION_(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) DOVEK_THREAD_ANNOTATION_(acquire_shared_capability(__VA_ARGS__))
// On a function: lets go of the locks it was called holding (exclusively /
// shared; a scoped lock's destructor says RELEASE() whatever it holds).
#define RELEASE(...) DOVEK_THREAD_ANNOTATION_(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) DOVEK_THREAD_ANNOTATION_(release_shared_capability(__VA_ARGS__))
// On a function whose locking the analysis cannot follow (locks taken in
// one function and released in another, as the fork handlers do).
#define NO_THREAD_SAFETY_ANALYSIS DOVEK_THREAD_ANNOTATION_(no_thread_safety_analysis)
