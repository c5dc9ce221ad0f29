"""The main job: what the module does today."""
import kovra_backends

print(kovra_backends.__doc__)
result = kovra_backends.Result()
result.probabilities = {"00": 0.5, "11": 0.5}
print("probabilities:", result.probabilities)
print("counts for 1024 shots:", result.counts)
print("one random reading:", result.get_random_reading())
