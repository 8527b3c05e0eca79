def greet():
    return "kettle on"
