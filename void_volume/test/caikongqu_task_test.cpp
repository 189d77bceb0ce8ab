int dummy_task_test;
