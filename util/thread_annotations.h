// Which lock guards which field, and which functions need a lock held or
// free: clang's thread safety analysis checks these (-Wthread-safety, the
// clang build of scripts/run-tests.sh); for gcc and mingw they are empty.
// No Win32 or library header defines any of these names.
#pragma once

#if defined(__clang__)
#define TSL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TSL_THREAD_ANNOTATION(x)
#endif

// A type whose objects are locks.
#define CAPABILITY(name) TSL_THREAD_ANNOTATION(capability(name))
// A type that holds a lock for its lifetime (a scoped lock).
#define SCOPED_CAPABILITY TSL_THREAD_ANNOTATION(scoped_lockable)

// A field read and written only with the lock held; for a pointer, the
// data it points to.
#define GUARDED_BY(lock) TSL_THREAD_ANNOTATION(guarded_by(lock))
#define PT_GUARDED_BY(lock) TSL_THREAD_ANNOTATION(pt_guarded_by(lock))

// A function that its caller must call with the locks held, or free.
#define REQUIRES(...) TSL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) TSL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// A function that takes or gives up the locks (none named: the object itself).
#define ACQUIRE(...) TSL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TSL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TSL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// A function after which the analysis takes the lock as held, where the code
// holds it in a way the analysis cannot follow.
#define ASSERT_CAPABILITY(lock) TSL_THREAD_ANNOTATION(assert_capability(lock))

// Leaves a function unchecked. Rare, and always with a comment saying why.
#define NO_THREAD_SAFETY_ANALYSIS TSL_THREAD_ANNOTATION(no_thread_safety_analysis)
