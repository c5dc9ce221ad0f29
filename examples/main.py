"""The main job: a teleportation circuit on the BasicSimulator."""
import kovra_backends
import teleportation

print(kovra_backends.__doc__)
teleportation.main()
