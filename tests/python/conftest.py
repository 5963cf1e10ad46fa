from hypothesis import settings

# Properties are about results, never about time: no per-example deadline, so a
# busy machine cannot fail a test.
settings.register_profile("tessaryne", deadline=None)
settings.load_profile("tessaryne")
